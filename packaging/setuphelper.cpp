// What the installer and the uninstaller can't do well in their own script.
// They run it from their plug-ins folder:
//   setuphelper running FOLDER      0 when no watchdog.exe from FOLDER runs, 1 when one does
//   setuphelper end FOLDER          ends every watchdog.exe from FOLDER: 0 when none
//                                   is left, 1 when one is
//   setuphelper watchdogs LIST      writes to LIST every watchdog.exe of this session,
//                                   with its image and working folder
//   setuphelper restart FOLDER LIST starts FOLDER\watchdog.exe again in the working folder
//                                   of each watchdog in LIST from FOLDER that has ended:
//                                   0 when all started, 1 when one did not
//   setuphelper holders FOLDER LIST writes to LIST the programs other than watchdog.exe
//                                   that have a DLL loaded from FOLDER
//   setuphelper same FOLDER OTHER   0 when both name the same folder, 1 when not
//   setuphelper owns FOLDER LINK    0 when the shortcut LINK starts a program in FOLDER, 1 when not
//   setuphelper elevated EXE PARAMS [WINDOW]
//                                   runs EXE with PARAMS as an administrator (the UAC
//                                   prompt, owned by WINDOW, which is hidden once it is
//                                   answered), waits for it and exits with its exit code
// Its own errors carry kOwnError, so that they never pass for the exit code of
// what it ran: kOwnError | 1223 when the prompt was declined, kOwnError | 87 for
// bad arguments. Only watchdog.exe is ever ended: the program it watches, and
// copies of it elsewhere, are left alone.
#include "processnames_win.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kImageName[] = L"watchdog.exe";
// A watchdog ends within about 2 s of its window closing.
constexpr DWORD kCloseTimeoutMs = 5000;
constexpr DWORD kTerminateTimeoutMs = 5000;
// Bit 29: Windows leaves error codes with it set to applications.
constexpr int kOwnError = 0x20000000;

std::wstring withoutTrailingSeparators(std::wstring path)
{
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

// The folder absolute and in long names, as both sides of every comparison
// are: a process started through the 8.3 form of its folder reports that form.
std::wstring canonicalFolder(const std::wstring &folder)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(folder.c_str(), DWORD(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(folder.c_str(), length, &full[0], nullptr);
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

std::wstring folderOf(const std::wstring &path)
{
    return path.substr(0, path.size() - winnames::fileNameOf(path).size());
}

bool sameFolder(const std::wstring &a, const std::wstring &b)
{
    return !a.empty() && !b.empty() && winnames::sameName(canonicalFolder(a), canonicalFolder(b));
}

std::wstring imageOf(HANDLE process)
{
    std::wstring image(32768, L'\0');
    DWORD size = DWORD(image.size());
    if (!QueryFullProcessImageNameW(process, 0, &image[0], &size))
        return std::wstring();
    image.resize(size);
    return image;
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

// Every running watchdog.exe, or those whose image lies in `folder`. One that
// can't be opened at all can't be told apart and is left out: with the debug
// privilege that is none but protected processes.
std::vector<Watchdog> watchdogsIn(const std::wstring &folder, DWORD access = SYNCHRONIZE | PROCESS_TERMINATE)
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
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | access, FALSE, entry.th32ProcessID);
        if (!process)
            process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        const std::wstring image = imageOf(process);
        if (!image.empty() && (folder.empty() || sameFolder(folderOf(image), folder))) {
            found.push_back({entry.th32ProcessID, process});
            continue;
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

// An administrator's install must see, and end, other users' watchdogs too:
// opening them takes this privilege. "running" and "end" both take it, so
// that they see the same processes. Without it (a standard user) this fails
// and changes nothing.
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

// The working folder of another process of the same bitness, read from its
// process parameters; empty when they can't be read.
std::wstring workingFolderOf(HANDLE process)
{
    using Query = NTSTATUS(NTAPI *)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic{};
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0)
        return std::wstring();
    PEB peb{};
    // The start of RTL_USER_PROCESS_PARAMETERS, as far as the working folder.
    struct {
        ULONG maximumLength, length, flags, debugFlags;
        HANDLE console;
        ULONG consoleFlags;
        HANDLE standardInput, standardOutput, standardError;
        UNICODE_STRING currentDirectory;
    } parameters{};
    if (!ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr) ||
        !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr))
        return std::wstring();
    std::wstring folder(parameters.currentDirectory.Length / sizeof(wchar_t), L'\0');
    if (folder.empty() ||
        !ReadProcessMemory(process, parameters.currentDirectory.Buffer, &folder[0], folder.size() * sizeof(wchar_t), nullptr))
        return std::wstring();
    return withoutTrailingSeparators(folder);
}

DWORD sessionOf(DWORD pid)
{
    DWORD session = DWORD(-1);
    ProcessIdToSessionId(pid, &session);
    return session;
}

ULONGLONG startOf(HANDLE process)
{
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool writeAll(const wchar_t *path, const std::wstring &text)
{
    FILE *file = _wfopen(path, L"wb");
    if (!file)
        return false;
    const bool written = fwrite(text.data(), sizeof(wchar_t), text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

// One line a watchdog: pid, start time, image and working folder, tab-separated, in UTF-16.
int noteWatchdogs(const wchar_t *list)
{
    std::wstring text;
    const DWORD session = sessionOf(GetCurrentProcessId());
    std::vector<Watchdog> watchdogs = watchdogsIn(std::wstring(), PROCESS_VM_READ | PROCESS_QUERY_INFORMATION);
    for (const Watchdog &watchdog : watchdogs) {
        const std::wstring folder = workingFolderOf(watchdog.process);
        if (sessionOf(watchdog.pid) != session || folder.empty())
            continue;
        text += std::to_wstring(watchdog.pid) + L'\t' + std::to_wstring(startOf(watchdog.process)) + L'\t' +
                imageOf(watchdog.process) + L'\t' + folder + L'\n';
    }
    closeAll(watchdogs);
    return writeAll(list, text) ? 0 : 1;
}

std::vector<std::wstring> split(const std::wstring &line, wchar_t separator)
{
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    for (std::size_t at; (at = line.find(separator, start)) != std::wstring::npos; start = at + 1)
        fields.push_back(line.substr(start, at - start));
    fields.push_back(line.substr(start));
    return fields;
}

std::wstring readAll(const wchar_t *path)
{
    std::wstring text;
    if (FILE *file = _wfopen(path, L"rb")) {
        wchar_t buffer[4096];
        for (std::size_t read; (read = fread(buffer, sizeof(wchar_t), 4096, file)) > 0;)
            text.append(buffer, read);
        fclose(file);
    }
    return text;
}

bool stillRuns(DWORD pid, ULONGLONG start)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (!process)
        return false;
    const bool same = startOf(process) == start && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return same;
}

// Started as this user, unelevated: the installer's own process runs this.
int restartWatchdogs(const std::wstring &folder, const wchar_t *list)
{
    int result = 0;
    for (const std::wstring &line : split(readAll(list), L'\n')) {
        const std::vector<std::wstring> fields = split(line, L'\t');
        if (fields.size() != 4 || !sameFolder(folderOf(fields[2]), folder) ||
            stillRuns(wcstoul(fields[0].c_str(), nullptr, 10), wcstoull(fields[1].c_str(), nullptr, 10)))
            continue;
        std::wstring commandLine = L"\"" + canonicalFolder(folder) + L"\\" + kImageName + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, fields[3].c_str(),
                            &startup, &started)) {
            result = 1;
            continue;
        }
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    return result;
}

// Programs other than the watchdog that have a DLL, one of ours most likely,
// loaded from `folder`: it can't be replaced or removed while they run. Their
// own image doesn't count: a program may run from there without using ours.
int noteHolders(const std::wstring &folder, const wchar_t *list)
{
    std::wstring text;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() || winnames::sameName(entry.szExeFile, kImageName))
            continue;
        const HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, entry.th32ProcessID);
        if (modules == INVALID_HANDLE_VALUE)
            continue;
        MODULEENTRY32W module{};
        module.dwSize = sizeof module;
        // The first module is the program's own image.
        for (BOOL moreModules = Module32FirstW(modules, &module) && Module32NextW(modules, &module); moreModules;
             moreModules = Module32NextW(modules, &module)) {
            if (sameFolder(folderOf(module.szExePath), folder)) {
                text += std::wstring(text.empty() ? L"" : L", ") + entry.szExeFile + L" (process " +
                        std::to_wstring(entry.th32ProcessID) + L")";
                break;
            }
        }
        CloseHandle(modules);
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    return writeAll(list, text) ? 0 : 1;
}

// Whether the shortcut starts a program in `folder`; a shortcut that can't be read is not ours.
bool shortcutStartsIn(const wchar_t *link, const std::wstring &folder)
{
    bool owned = false;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return false;
    IShellLinkW *shellLink = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void **>(&shellLink)))) {
        IPersistFile *persist = nullptr;
        if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&persist)))) {
            wchar_t target[MAX_PATH] = L"";
            if (SUCCEEDED(persist->Load(link, STGM_READ)) &&
                shellLink->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH) == S_OK)
                owned = sameFolder(folderOf(target), folder);
            persist->Release();
        }
        shellLink->Release();
    }
    CoUninitialize();
    return owned;
}

int runElevated(const wchar_t *program, const wchar_t *parameters, HWND window)
{
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    // The prompt belongs to the wizard: without an owner it may show only as a
    // flashing taskbar button.
    info.hwnd = window;
    info.lpVerb = L"runas";
    info.lpFile = program;
    info.lpParameters = parameters;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info))
        return kOwnError | int(GetLastError());
    // Answered: the elevated installer shows its own wizard instead.
    if (window)
        ShowWindow(window, SW_HIDE);
    if (!info.hProcess)
        return kOwnError | ERROR_INVALID_HANDLE;
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 0;
    const bool known = GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    return known ? int(exitCode) : kOwnError | int(GetLastError());
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    constexpr int badArguments = kOwnError | ERROR_INVALID_PARAMETER;
    if (!argv || argc < 3)
        return badArguments;
    const std::wstring what = argv[1];
    if ((what == L"running" || what == L"end") && argc == 3) {
        enableDebugPrivilege();
        if (what == L"end")
            return endWatchdogs(argv[2]);
        std::vector<Watchdog> watchdogs = watchdogsIn(argv[2]);
        const bool any = !watchdogs.empty();
        closeAll(watchdogs);
        return any ? 1 : 0;
    }
    if (what == L"watchdogs" && argc == 3)
        return noteWatchdogs(argv[2]);
    if (what == L"restart" && argc == 4)
        return restartWatchdogs(argv[2], argv[3]);
    if (what == L"holders" && argc == 4)
        return noteHolders(argv[2], argv[3]);
    if (what == L"same" && argc == 4)
        return sameFolder(argv[2], argv[3]) ? 0 : 1;
    if (what == L"owns" && argc == 4)
        return shortcutStartsIn(argv[3], argv[2]) ? 0 : 1;
    if (what == L"elevated" && argc >= 3 && argc <= 5) {
        const HWND window = argc == 5 ? reinterpret_cast<HWND>(wcstoull(argv[4], nullptr, 10)) : nullptr;
        return runElevated(argv[2], argc >= 4 ? argv[3] : L"", window);
    }
    return badArguments;
}
