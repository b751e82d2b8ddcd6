#pragma once

#include <string>
#include <string_view>

// The decisions on Windows names, apart from the process list they are used on.
namespace winnames {

// `utf8` as UTF-16; empty when it is empty, not valid UTF-8, or can't be a file
// name (the checks both systems share, and "\", which Windows also reads as a separator).
std::wstring imageName(std::string_view utf8);

// Whether two file names name the same file. Windows file names ignore case,
// ordinally (as the file system compares them), not by the user's language.
bool sameName(std::wstring_view a, std::wstring_view b);

// The file name at the end of a full path such as QueryFullProcessImageNameW gives.
std::wstring_view fileNameOf(std::wstring_view path);

// Whether taskkill may be given this image name: it reads "*" and "?" as
// wildcards, which no file name holds, and "*" alone would end every process.
bool isSafeForTaskkill(std::wstring_view name);

} // namespace winnames
