// What the installer and the uninstaller can't do well in their own script.
// They run it from their plug-ins folder:
//   setuphelper running FOLDER      0 when no watchdog.exe from FOLDER runs, 1 when one does
//   setuphelper end FOLDER          ends every watchdog.exe from FOLDER: 0 when none
//                                   is left, 1 when one is
//   setuphelper elevated EXE PARAMS runs EXE with PARAMS as an administrator (the UAC
//                                   prompt), waits for it and exits with its exit code,
//                                   or with the error when it couldn't start (1223: the
//                                   prompt was declined)
// Exit code 2: bad arguments. Only watchdog.exe is ever ended: the program it
// watches, and copies of it elsewhere, are left alone.
#include "processnames_win.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kImageName[] = L"watchdog.exe";
// A watchdog ends within about 2 s of its window closing.
constexpr DWORD kCloseTimeoutMs = 5000;
constexpr DWORD kTerminateTimeoutMs = 5000;

std::wstring withoutTrailingSeparators(std::wstring path)
{
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

// The folder as a process's image path names it: absolute and in long names.
std::wstring canonicalFolder(const wchar_t *folder)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(folder, DWORD(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(folder, length, &full[0], nullptr);
    }
    full.resize(length);
    std::wstring longer(32768, L'\0');
    length = GetLongPathNameW(full.c_str(), &longer[0], DWORD(longer.size()));
    if (length > 0 && length < longer.size()) {
        longer.resize(length);
        full = longer;
    }
    return withoutTrailingSeparators(full);
}

struct Watchdog {
    DWORD pid;
    HANDLE process;
};

void closeAll(std::vector<Watchdog> &watchdogs)
{
    for (const Watchdog &watchdog : watchdogs)
        CloseHandle(watchdog.process);
    watchdogs.clear();
}

// Every running watchdog.exe whose image lies in `folder`. One that can't be
// opened at all (another user's, without the rights) can't be told apart and is left out.
std::vector<Watchdog> watchdogsIn(const std::wstring &folder)
{
    std::vector<Watchdog> found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() || !winnames::sameName(entry.szExeFile, kImageName))
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE,
                                     FALSE, entry.th32ProcessID);
        if (!process)
            process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        std::wstring image(32768, L'\0');
        DWORD size = DWORD(image.size());
        if (QueryFullProcessImageNameW(process, 0, &image[0], &size)) {
            image.resize(size);
            const std::size_t nameLength = winnames::fileNameOf(image).size();
            const std::wstring imageFolder = withoutTrailingSeparators(image.substr(0, image.size() - nameLength));
            if (winnames::sameName(imageFolder, folder)) {
                found.push_back({entry.th32ProcessID, process});
                continue;
            }
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

BOOL CALLBACK closeWindowOf(HWND window, LPARAM watchdogs)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    for (const Watchdog &watchdog : *reinterpret_cast<const std::vector<Watchdog> *>(watchdogs)) {
        if (watchdog.pid == pid)
            PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

// Whether each has ended within `timeoutMs`, all counted from now.
bool waitForAll(const std::vector<Watchdog> &watchdogs, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool allEnded = true;
    for (const Watchdog &watchdog : watchdogs) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? DWORD(deadline - now) : 0;
        allEnded = WaitForSingleObject(watchdog.process, left) == WAIT_OBJECT_0 && allEnded;
    }
    return allEnded;
}

// An administrator's install may find other users' watchdogs: opening them takes this privilege.
void enableDebugPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
}

int endWatchdogs(const std::wstring &folder)
{
    enableDebugPrivilege();
    std::vector<Watchdog> watchdogs = watchdogsIn(folder);
    // Closed as the session closes it at log-off, a watchdog ends cleanly with
    // exit code 0; one whose window can't be reached (another session) or
    // doesn't answer is terminated. Either way its program runs on.
    EnumWindows(closeWindowOf, reinterpret_cast<LPARAM>(&watchdogs));
    if (!waitForAll(watchdogs, kCloseTimeoutMs)) {
        for (const Watchdog &watchdog : watchdogs)
            TerminateProcess(watchdog.process, 1);
        waitForAll(watchdogs, kTerminateTimeoutMs);
    }
    closeAll(watchdogs);
    watchdogs = watchdogsIn(folder);
    const bool noneLeft = watchdogs.empty();
    closeAll(watchdogs);
    return noneLeft ? 0 : 1;
}

int runElevated(const wchar_t *program, const wchar_t *parameters)
{
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = program;
    info.lpParameters = parameters;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info))
        return int(GetLastError());
    if (!info.hProcess)
        return 1;
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    return int(exitCode);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3)
        return 2;
    const std::wstring what = argv[1];
    if (what == L"running" && argc == 3) {
        std::vector<Watchdog> watchdogs = watchdogsIn(canonicalFolder(argv[2]));
        const bool any = !watchdogs.empty();
        closeAll(watchdogs);
        return any ? 1 : 0;
    }
    if (what == L"end" && argc == 3)
        return endWatchdogs(canonicalFolder(argv[2]));
    if (what == L"elevated" && (argc == 3 || argc == 4))
        return runElevated(argv[2], argc == 4 ? argv[3] : L"");
    return 2;
}
