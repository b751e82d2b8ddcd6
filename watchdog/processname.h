#pragma once

#include <string_view>

// The checks on a watched name that both platforms make. Kept free of Qt.

// Whether `utf8Name` can be a file name at all: not empty, no NUL, no "/", and
// no longer than any file name on either system.
bool isPlainFileName(std::string_view utf8Name);
