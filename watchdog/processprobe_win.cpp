#include "processprobe.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>

// 556 is the record's size on 32-bit Windows; sizeof keeps 64-bit builds right too.
static_assert(sizeof(void *) != 4 || sizeof(PROCESSENTRY32W) == 556,
              "PROCESSENTRY32W has an unexpected layout");

namespace {

// Empty when `utf8` is empty or not valid UTF-8; neither can name a running program.
std::wstring toUtf16(const char *utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::wstring wide(std::size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &wide[0], length);
    wide.resize(std::size_t(length - 1));
    return wide;
}

// Whether a process named `wanted` runs; `id` receives the first one's id.
bool findProcess(const std::wstring &wanted, DWORD &id)
{
    if (wanted.empty())
        return false;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        found = std::wcscmp(entry.szExeFile, wanted.c_str()) == 0;
        id = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return found;
}

} // namespace

int isProcessRunning(const char *name)
{
    // Compared as Unicode: the C runtime's default locale can't represent other
    // characters, and an empty name would match every name it failed to convert.
    DWORD id = 0;
    return findProcess(toUtf16(name ? name : ""), id) ? 1 : 0;
}

// Nothing is kept yet: each wait finds the process afresh.
struct ProcessWatcher::Private
{
};

ProcessWatcher::ProcessWatcher()
    : d(std::make_unique<Private>())
{
}

ProcessWatcher::~ProcessWatcher() = default;

bool ProcessWatcher::waitForEnd(const char *name, unsigned timeoutMs)
{
    DWORD id = 0;
    if (!findProcess(toUtf16(name ? name : ""), id))
        return false;
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (!process) {
        Sleep(timeoutMs);
        return true;
    }
    WaitForSingleObject(process, timeoutMs);
    CloseHandle(process);
    return true;
}
