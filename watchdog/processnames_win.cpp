#include "processnames_win.h"

#include "processname.h"

#include <windows.h>

namespace winnames {

std::wstring imageName(std::string_view utf8)
{
    if (!isPlainFileName(utf8) || utf8.find('\\') != std::string_view::npos)
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(std::size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), &wide[0], length);
    return wide;
}

bool sameName(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), int(a.size()), b.data(), int(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring_view fileNameOf(std::wstring_view path)
{
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring_view::npos ? path : path.substr(separator + 1);
}

bool isSafeForTaskkill(std::wstring_view name)
{
    return !name.empty() && name.find_first_of(L"*?") == std::wstring_view::npos;
}

} // namespace winnames
