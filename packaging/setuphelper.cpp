// What the installer and the uninstaller can't do well in their own script.
// They run it from their plug-ins folder:
//   setuphelper running FOLDER      0 when no watchdog.exe from FOLDER runs, 1 when one does
//   setuphelper end FOLDER LIST     notes in LIST every watchdog.exe from FOLDER, in every
//                                   session, with its session and working folder, then ends
//                                   them: 0 when none is left, 1 when one is
//   setuphelper restart FOLDER LIST done|failed CODE
//                                   starts FOLDER\watchdog.exe again for each watchdog in
//                                   LIST that has ended, and exits with the installer's
//                                   code: CODE (its error level so far) when set, else 2
//                                   when it failed, 4 when one could not be started, or 0
//   setuphelper holders FOLDER LIST writes to LIST the programs other than watchdog.exe
//                                   that have a DLL loaded from FOLDER or a folder in it
//   setuphelper same FOLDER OTHER   0 when both name the same folder, 1 when not
//   setuphelper owns FOLDER LINK    0 when the shortcut LINK starts a program in FOLDER, 1 when not
//   setuphelper discard FILE        has FILE, the running uninstaller, and its folder if
//                                   empty, removed once it has ended: 0 by a copy of this
//                                   helper started for it, 3010 at the next restart, 1 not
//   setuphelper remove FILE         that copy: waits for FILE's processes, then removes it
//   setuphelper elevated EXE PARAMS [WINDOW]
//                                   runs EXE with PARAMS as an administrator (the UAC
//                                   prompt, owned by WINDOW, which is hidden once it is
//                                   answered, or else by the window in front), waits for
//                                   it and exits with its exit code
// Its own errors carry kOwnError, so that they never pass for the exit code of
// what it ran: kOwnError | 1223 when the prompt was declined, kOwnError | 87 for
// bad arguments. Only watchdog.exe is ever ended: the program it watches, and
// copies of it elsewhere, are left alone.
#include "processnames_win.h"
#include "setupdecisions.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

using setup::canonicalFolder;
using setup::folderOf;
using setup::sameFolder;

namespace {

constexpr wchar_t kImageName[] = L"watchdog.exe";
constexpr wchar_t kShellName[] = L"explorer.exe";
// A watchdog ends within about 2 s of its window closing.
constexpr DWORD kCloseTimeoutMs = 5000;
constexpr DWORD kTerminateTimeoutMs = 5000;
// Bit 29: Windows leaves error codes with it set to applications.
constexpr int kOwnError = 0x20000000;

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

// Calls `visit` for each process in a list of all, until it returns false.
void forEachProcess(const std::function<bool(const PROCESSENTRY32W &)> &visit)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && visit(entry); more = Process32NextW(snapshot, &entry)) {
    }
    CloseHandle(snapshot);
}

// The other processes running the program `file`, opened with `access` where
// they can be, else just to be waited on and named.
std::vector<Watchdog> openRunning(const std::wstring &file, DWORD access)
{
    std::vector<Watchdog> found;
    const std::wstring_view name = winnames::fileNameOf(file);
    forEachProcess([&](const PROCESSENTRY32W &entry) {
        if (entry.th32ProcessID == GetCurrentProcessId() || !winnames::sameName(entry.szExeFile, name))
            return true;
        HANDLE process = OpenProcess(access, FALSE, entry.th32ProcessID);
        if (!process)
            process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            return true;
        const std::wstring image = imageOf(process);
        if (winnames::sameName(winnames::fileNameOf(image), name) && sameFolder(folderOf(image), folderOf(file)))
            found.push_back({entry.th32ProcessID, process});
        else
            CloseHandle(process);
        return true;
    });
    return found;
}

void closeAll(std::vector<Watchdog> &watchdogs)
{
    for (const Watchdog &watchdog : watchdogs)
        CloseHandle(watchdog.process);
    watchdogs.clear();
}

// Every running watchdog.exe whose image lies in `folder`, in every session.
// One that can't be opened at all can't be told apart and is left out: with
// the debug privilege that is none but protected processes.
std::vector<Watchdog> watchdogsIn(const std::wstring &folder)
{
    return openRunning(setup::joined(folder, kImageName), PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE |
                                                             PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION |
                                                             PROCESS_VM_READ);
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

// An administrator's install must see, and end, other users' watchdogs, and
// see the programs that hold its files: opening them takes this privilege.
// Every look at other processes takes it, so that all see the same ones.
// Without it (a standard user) this fails and changes nothing.
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
    return setup::withoutTrailingSeparators(folder);
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

// Notes them before they are ended, by the same process, so that none is
// closed that this process could not see; then ends them.
int endWatchdogs(const std::wstring &folder, const wchar_t *list)
{
    std::vector<Watchdog> watchdogs = watchdogsIn(folder);
    std::wstring text;
    for (const Watchdog &watchdog : watchdogs) {
        text += setup::line({watchdog.pid, startOf(watchdog.process), sessionOf(watchdog.pid),
                             imageOf(watchdog.process), workingFolderOf(watchdog.process)});
    }
    if (!writeAll(list, text)) {
        closeAll(watchdogs);
        return 1;
    }
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

bool stillRuns(const setup::Noted &noted)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, noted.pid);
    if (!process)
        return false;
    const bool same = startOf(process) == noted.start && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return same;
}

// The desktop shell of `session`: the process of the shell window when it is
// there, else its explorer.exe. 0 when the session has none (no one signed in).
DWORD shellOf(DWORD session)
{
    DWORD pid = 0;
    if (const HWND window = GetShellWindow())
        GetWindowThreadProcessId(window, &pid);
    if (pid && sessionOf(pid) == session)
        return pid;
    pid = 0;
    forEachProcess([&](const PROCESSENTRY32W &entry) {
        if (winnames::sameName(entry.szExeFile, kShellName) && sessionOf(entry.th32ProcessID) == session)
            pid = entry.th32ProcessID;
        return !pid;
    });
    return pid;
}

// The user a token is of: its SID's bytes.
std::vector<unsigned char> userOf(HANDLE token)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (!size || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
        return {};
    const PSID sid = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
    return std::vector<unsigned char>(static_cast<unsigned char *>(sid),
                                      static_cast<unsigned char *>(sid) + GetLengthSid(sid));
}

// Started as a child of the desktop shell `shellPid`: outside this installer's
// job and process tree, with no console. With no `token` it takes the shell's
// (its user, unelevated, in its session), and the environment is that user's
// when it is another user (an install run as SYSTEM or as another
// administrator); the same user keeps ours.
bool startAsChildOf(DWORD shellPid, std::wstring commandLine, const std::wstring &folder, HANDLE token)
{
    HANDLE shell = shellPid ? OpenProcess(PROCESS_CREATE_PROCESS | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellPid)
                            : nullptr;
    if (!shell)
        return false;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    bool started = false;
    if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        void *environment = nullptr;
        HANDLE shellToken = nullptr, ownToken = nullptr;
        if (!token && OpenProcessToken(shell, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &shellToken) &&
            OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &ownToken) && userOf(shellToken) != userOf(ownToken))
            CreateEnvironmentBlock(&environment, shellToken, FALSE);
        if (shellToken)
            CloseHandle(shellToken);
        if (ownToken)
            CloseHandle(ownToken);
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.lpDesktop = const_cast<wchar_t *>(L"winsta0\\default");
        startup.lpAttributeList = list;
        PROCESS_INFORMATION process{};
        const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_DEFAULT_ERROR_MODE;
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &shell, sizeof shell, nullptr,
                                      nullptr) &&
            (token ? CreateProcessAsUserW(token, nullptr, &commandLine[0], nullptr, nullptr, FALSE, flags, environment,
                                          folder.c_str(), &startup.StartupInfo, &process)
                   : CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, flags, environment,
                                    folder.c_str(), &startup.StartupInfo, &process))) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            started = true;
        }
        if (environment)
            DestroyEnvironmentBlock(environment);
        DeleteProcThreadAttributeList(list);
    }
    CloseHandle(shell);
    return started;
}

// Each in its own session and working folder, from the folder's image now
// (the noted one may name it through its 8.3 form).
int restartWatchdogs(const std::wstring &folder, const wchar_t *list, bool failed, int codeSoFar)
{
    const std::wstring image = setup::joined(canonicalFolder(folder), kImageName);
    bool allStarted = true;
    for (const setup::Noted &watchdog : setup::toRestart(setup::parse(readAll(list)), folder, stillRuns)) {
        if (watchdog.folder.empty() ||
            !startAsChildOf(shellOf(watchdog.session), L"\"" + image + L"\"", watchdog.folder, nullptr))
            allStarted = false;
    }
    return setup::exitCodeAfterRestart(codeSoFar, failed, allStarted);
}

// Up to the first module, retried as Microsoft documents for a process that
// is loading or unloading modules (ERROR_BAD_LENGTH).
HANDLE modulesOf(DWORD pid)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        const HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid);
        if (modules != INVALID_HANDLE_VALUE || GetLastError() != ERROR_BAD_LENGTH)
            return modules;
    }
    return INVALID_HANDLE_VALUE;
}

// Programs other than the watchdog that have a DLL, one of ours most likely,
// loaded from `folder` or a folder in it (Qt's plugins): it can't be replaced
// or removed while they run. Their own image doesn't count: a program may run
// from there without using ours.
int noteHolders(const std::wstring &folder, const wchar_t *list)
{
    const std::vector<std::wstring> forms = setup::formsOf(folder);
    std::wstring text;
    forEachProcess([&](const PROCESSENTRY32W &entry) {
        if (entry.th32ProcessID == GetCurrentProcessId() || winnames::sameName(entry.szExeFile, kImageName))
            return true;
        const HANDLE modules = modulesOf(entry.th32ProcessID);
        if (modules == INVALID_HANDLE_VALUE)
            return true;
        MODULEENTRY32W module{};
        module.dwSize = sizeof module;
        // The first module is the program's own image.
        for (BOOL moreModules = Module32FirstW(modules, &module) && Module32NextW(modules, &module); moreModules;
             moreModules = Module32NextW(modules, &module)) {
            if (setup::liesIn(module.szExePath, forms)) {
                // "PID", as Task Manager says in every language.
                text += std::wstring(text.empty() ? L"" : L", ") + entry.szExeFile + L" (PID " +
                        std::to_wstring(entry.th32ProcessID) + L")";
                break;
            }
        }
        CloseHandle(modules);
        return true;
    });
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

bool isElevated()
{
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                          GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                          elevation.TokenIsElevated;
    if (token)
        CloseHandle(token);
    return elevated;
}

// The processes running the program `file`, to wait on.
std::vector<HANDLE> running(const std::wstring &file)
{
    std::vector<HANDLE> found;
    for (const Watchdog &process : openRunning(file, PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE))
        found.push_back(process.process);
    return found;
}

// Once every process running it has ended (the uninstaller, and the one that
// started it as administrator), removes `file` and its folder if empty.
int removeOnceEnded(const std::wstring &file)
{
    for (int round = 0; round < 3; ++round) {
        std::vector<HANDLE> processes = running(file);
        if (processes.empty())
            break;
        for (HANDLE process : processes) {
            WaitForSingleObject(process, 60000);
            CloseHandle(process);
        }
    }
    // Read-only is no reason to keep what we installed.
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    const bool removed = DeleteFileW(file.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    RemoveDirectoryW(canonicalFolder(folderOf(file)).c_str());
    return removed ? 0 : 1;
}

// The uninstaller run in place, and waited for, can't remove its own file: a
// copy of this helper does, once it has ended, started outside the job of
// whoever waits (a deployment tool's job may end what is left in it) and
// with this process's rights: as a child of the desktop shell, else broken
// away from the job. Where neither can be, Windows removes it at the next
// restart: kExitRebootPending.
int discard(const std::wstring &file)
{
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, &self[0], DWORD(self.size())));
    // A copy: the installer unpacks this helper again for each call, and a
    // running program's file can't be written.
    const std::wstring folder = folderOf(self);
    const std::wstring copy = setup::joined(folder, L"remover.exe");
    if (!CopyFileW(self.c_str(), copy.c_str(), FALSE))
        return 1;
    std::wstring commandLine = L"\"" + copy + L"\" remove \"" + file + L"\"";
    HANDLE own = nullptr, token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) {
        DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &token);
        CloseHandle(own);
    }
    const DWORD shell = shellOf(sessionOf(GetCurrentProcessId()));
    bool started = token && startAsChildOf(shell, commandLine, folder, token);
    if (token)
        CloseHandle(token);
    // Starting a process with a token of one's own takes a privilege that
    // standard users lack; unelevated, the shell's token has our rights.
    if (!started && !isElevated())
        started = startAsChildOf(shell, commandLine, folder, nullptr);
    if (started)
        return 0;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW,
                       nullptr, folder.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return 0;
    }
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
        MoveFileExW(canonicalFolder(folderOf(file)).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        return setup::kExitRebootPending;
    return 1;
}

int runElevated(const wchar_t *program, const wchar_t *parameters, HWND window)
{
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    // The prompt belongs to the wizard: without an owner it may show only as a
    // flashing taskbar button. Before the wizard has a window (the
    // uninstaller's start), the window in front owns it.
    info.hwnd = window ? window : GetForegroundWindow();
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
    enableDebugPrivilege();
    if (what == L"running" && argc == 3) {
        std::vector<Watchdog> watchdogs = watchdogsIn(argv[2]);
        const bool any = !watchdogs.empty();
        closeAll(watchdogs);
        return any ? 1 : 0;
    }
    if (what == L"end" && argc == 4)
        return endWatchdogs(argv[2], argv[3]);
    if (what == L"restart" && argc == 6)
        return restartWatchdogs(argv[2], argv[3], std::wstring(argv[4]) == L"failed", _wtoi(argv[5]));
    if (what == L"holders" && argc == 4)
        return noteHolders(argv[2], argv[3]);
    if (what == L"same" && argc == 4)
        return sameFolder(argv[2], argv[3]) ? 0 : 1;
    if (what == L"owns" && argc == 4)
        return shortcutStartsIn(argv[3], argv[2]) ? 0 : 1;
    if (what == L"discard" && argc == 3)
        return discard(argv[2]);
    if (what == L"remove" && argc == 3)
        return removeOnceEnded(argv[2]);
    if (what == L"elevated" && argc >= 3 && argc <= 5) {
        const HWND window = argc == 5 ? reinterpret_cast<HWND>(wcstoull(argv[4], nullptr, 10)) : nullptr;
        return runElevated(argv[2], argc >= 4 ? argv[3] : L"", window);
    }
    return badArguments;
}
