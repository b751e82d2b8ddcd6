#include "processname.h"

namespace {

// No file name on either system is longer: 255 UTF-16 units on Windows take at
// most 765 bytes of UTF-8. Linux allows 255 bytes; a longer name simply never matches.
constexpr std::size_t kLongestFileName = 765;

} // namespace

bool isPlainFileName(std::string_view utf8Name)
{
    // A NUL would cut the name short and name another program.
    return !utf8Name.empty() && utf8Name.size() <= kLongestFileName
           && utf8Name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}
