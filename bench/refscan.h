#pragma once

#include <string_view>

namespace bench {

// The least work that learns what the probe learns about each process: its
// exe link, and its kernel name where that link exists or can't be read for
// permission. One /proc handle, no formatting library, one read per file.
// True when a link's last component or a kernel name equals `name`.
bool referenceScan(std::string_view name);

} // namespace bench
