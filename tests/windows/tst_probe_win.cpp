// The Windows process probe against real processes, run under Wine: copies of
// probe_helper.exe under chosen names stand in for the watched program.
#include "processprobe.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

namespace {

int failedChecks = 0;

void check(bool ok, const char *what, int line)
{
    if (!ok) {
        ++failedChecks;
        std::printf("  line %d: %s\n", line, what);
    }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

std::string toUtf8(const std::wstring &wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(std::size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), &bytes[0], length, nullptr, nullptr);
    return bytes;
}

bool running(const std::wstring &name)
{
    return isProcessRunning(toUtf8(name).c_str()) == 1;
}

std::wstring upper(std::wstring text)
{
    for (wchar_t &c : text)
        c = wchar_t(std::towupper(wint_t(c)));
    return text;
}

// A name no other process has, so that each case sees only its own.
std::wstring uniqueName(const std::wstring &stem, const wchar_t *suffix = L".exe")
{
    static int serial = 0;
    return stem + L'-' + std::to_wstring(GetCurrentProcessId()) + L'-' + std::to_wstring(++serial) + suffix;
}

template <typename Done>
bool waitUntil(Done done, ULONGLONG timeoutMs = 10000)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > end)
            return false;
        Sleep(10);
    }
    return true;
}

bool hasEnded(HANDLE process, DWORD timeoutMs = 0)
{
    return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
}

// Runs a command line as a process of its own; its exit code, or -1.
long run(std::wstring commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return -1;
    CloseHandle(info.hThread);
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(info.hProcess, &code);
    else
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    return long(code);
}

// Copies of the helper in a temporary folder of their own. Every process
// started from them is ended, and the folder removed, when it goes.
class Helpers
{
public:
    Helpers()
    {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        m_helper.assign(path, length);
        m_helper.resize(m_helper.find_last_of(L'\\') + 1);
        m_helper += L"probe_helper.exe";
        GetTempPathW(MAX_PATH, path);
        m_dir = path + uniqueName(L"watchdog-probe", L"");
        CreateDirectoryW(m_dir.c_str(), nullptr);
    }

    ~Helpers()
    {
        for (HANDLE process : m_processes) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
        for (const std::wstring &file : m_files)
            DeleteFileW(file.c_str());
        RemoveDirectoryW(m_dir.c_str());
    }

    Helpers(const Helpers &) = delete;
    Helpers &operator=(const Helpers &) = delete;

    const std::wstring &dir() const { return m_dir; }

    // Starts a copy of the helper called `fileName`; its process handle, or nullptr.
    HANDLE start(const std::wstring &fileName)
    {
        const std::wstring path = m_dir + L'\\' + fileName;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (!CopyFileW(m_helper.c_str(), path.c_str(), TRUE))
                return nullptr;
            m_files.push_back(path);
        }
        std::wstring commandLine = L'"' + path + L"\" 300";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &info))
            return nullptr;
        CloseHandle(info.hThread);
        m_processes.push_back(info.hProcess);
        return info.hProcess;
    }

private:
    std::wstring m_helper;
    std::wstring m_dir;
    std::vector<std::wstring> m_files;
    std::vector<HANDLE> m_processes;
};

void findsOnlyTheExactName()
{
    Helpers helpers;
    const std::wstring name = uniqueName(L"Probe");
    CHECK(helpers.start(name) != nullptr);
    CHECK(waitUntil([&] { return running(name); }));

    // Windows file names ignore case, and so does the probe.
    CHECK(running(upper(name)));
    CHECK(!running(L"X" + name.substr(1)));
    CHECK(!running(name.substr(1)));
    CHECK(!running(name + L'x'));
    CHECK(!running(name.substr(0, name.size() - 4)));
    CHECK(!running(helpers.dir() + L'\\' + name));
    CHECK(!running(L".\\" + name));
    // Nothing, not every name, for a name that is empty or can't be converted.
    CHECK(isProcessRunning("") == 0);
    CHECK(isProcessRunning(nullptr) == 0);
    CHECK(isProcessRunning("\xff\xfe") == 0);
}

void findsNonAsciiNames()
{
    Helpers helpers;
    const std::wstring name = uniqueName(L"\u00dcn\u00ef-\u540d\u524d");
    CHECK(helpers.start(name) != nullptr);
    CHECK(helpers.start(name) != nullptr);
    CHECK(waitUntil([&] { return running(name); }));
    // Differs in one character, which a narrow code page would turn into "?" alike.
    std::wstring other = name;
    other[5] = L'\u540e';
    CHECK(other != name && !running(other));
}

DWORD WINAPI terminateLater(void *process)
{
    Sleep(300);
    TerminateProcess(static_cast<HANDLE>(process), 1);
    return 0;
}

void waitReturnsWhenTheProcessEnds()
{
    Helpers helpers;
    const std::wstring name = uniqueName(L"Wait");
    const std::string bytes = toUtf8(name);

    ProcessWatcher watcher;
    ULONGLONG start = GetTickCount64();
    CHECK(!watcher.waitForEnd(bytes.c_str(), 20000));
    CHECK(GetTickCount64() - start < 5000);

    const HANDLE process = helpers.start(name);
    CHECK(process != nullptr);
    CHECK(waitUntil([&] { return running(name); }));
    // Still running: the wait runs its course and says it could wait.
    start = GetTickCount64();
    CHECK(watcher.waitForEnd(bytes.c_str(), 200));
    CHECK(GetTickCount64() - start >= 150);
    CHECK(!hasEnded(process));

    const HANDLE killer = CreateThread(nullptr, 0, terminateLater, process, 0, nullptr);
    CHECK(killer != nullptr);
    start = GetTickCount64();
    CHECK(watcher.waitForEnd(bytes.c_str(), 30000));
    CHECK(GetTickCount64() - start < 10000);
    CHECK(hasEnded(process, 5000));
    if (killer) {
        WaitForSingleObject(killer, INFINITE);
        CloseHandle(killer);
    }
}

void taskkillEndsEveryProcessOfThatName()
{
    // As the program's terminate does it: taskkill -im NAME -f.
    Helpers helpers;
    const std::wstring name = uniqueName(L"Term");
    std::vector<HANDLE> targets, others;
    for (int i = 0; i < 3; ++i)
        targets.push_back(helpers.start(name));
    for (const std::wstring &other : {name.substr(1), name + L'x', name.substr(0, name.size() - 4) + L"-other.exe"})
        others.push_back(helpers.start(other));
    for (HANDLE process : targets)
        CHECK(process != nullptr);
    for (HANDLE process : others)
        CHECK(process != nullptr);
    CHECK(waitUntil([&] { return running(name); }));

    CHECK(run(L"taskkill -im " + name + L" -f") == 0);
    for (HANDLE process : targets)
        CHECK(process && hasEnded(process, 5000));
    CHECK(!running(name));
    for (HANDLE process : others)
        CHECK(process && !hasEnded(process));
    // Nothing of that name left: taskkill says so.
    CHECK(run(L"taskkill -im " + name + L" -f") != 0);
}

// What a leak would raise.
struct Usage
{
    DWORD handles = 0;
    SIZE_T privateUsage = 0;
    // Wine answers 0 for both of the above; these two it does keep. Handles take
    // the lowest free slot, so a leaked one shows in the next handle's value.
    HANDLE nextHandle = nullptr;
    SIZE_T committed = 0;

    static Usage now()
    {
        Usage usage;
        GetProcessHandleCount(GetCurrentProcess(), &usage.handles);
        PROCESS_MEMORY_COUNTERS_EX memory{};
        memory.cb = sizeof memory;
        if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory),
                                 sizeof memory))
            usage.privateUsage = memory.PrivateUsage;
        usage.nextHandle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CloseHandle(usage.nextHandle);
        MEMORY_BASIC_INFORMATION region;
        for (const char *address = nullptr;
             VirtualQuery(address, &region, sizeof region) == sizeof region;
             address = static_cast<const char *>(region.BaseAddress) + region.RegionSize) {
            if (region.State == MEM_COMMIT && region.Type != MEM_IMAGE)
                usage.committed += region.RegionSize;
        }
        return usage;
    }

    bool operator==(const Usage &other) const
    {
        return handles == other.handles && privateUsage == other.privateUsage
               && nextHandle == other.nextHandle && committed == other.committed;
    }

    void print(const char *label) const
    {
        std::printf("  %s: %lu handles, next %p; %llu private bytes, %llu committed outside images\n", label,
                    handles, nextHandle, static_cast<unsigned long long>(privateUsage),
                    static_cast<unsigned long long>(committed));
    }
};

void repeatedCallsKeepNothing()
{
    Helpers helpers;
    const std::wstring name = uniqueName(L"Leak");
    CHECK(helpers.start(name) != nullptr);
    CHECK(waitUntil([&] { return running(name); }));
    const std::string present = toUtf8(name);
    const std::string absent = toUtf8(uniqueName(L"absent-and-rather-long-name"));

    // One round first, so that what the system makes once is counted in both.
    ProcessWatcher watcher;
    isProcessRunning(present.c_str());
    watcher.waitForEnd(present.c_str(), 0);
    const Usage before = Usage::now();
    int wrong = 0;
    for (int i = 0; i < 2500; ++i) {
        wrong += isProcessRunning(present.c_str()) != 1;
        wrong += isProcessRunning(absent.c_str()) != 0;
        wrong += !watcher.waitForEnd(present.c_str(), 0);
        wrong += watcher.waitForEnd(absent.c_str(), 0);
    }
    const Usage after = Usage::now();
    before.print("before");
    after.print("after 10000 calls");
    CHECK(wrong == 0);
    CHECK(before.nextHandle != nullptr && before.committed > 0);
    CHECK(after == before);
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const struct
    {
        const char *name;
        void (*run)();
    } cases[] = {
        {"findsOnlyTheExactName", findsOnlyTheExactName},
        {"findsNonAsciiNames", findsNonAsciiNames},
        {"waitReturnsWhenTheProcessEnds", waitReturnsWhenTheProcessEnds},
        {"taskkillEndsEveryProcessOfThatName", taskkillEndsEveryProcessOfThatName},
        {"repeatedCallsKeepNothing", repeatedCallsKeepNothing},
    };
    int passed = 0, failed = 0;
    for (const auto &testCase : cases) {
        failedChecks = 0;
        const ULONGLONG start = GetTickCount64();
        testCase.run();
        std::printf("%s: %s (%llu ms)\n", failedChecks ? "FAIL" : "PASS", testCase.name, GetTickCount64() - start);
        ++(failedChecks ? failed : passed);
    }
    std::printf("Totals: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
