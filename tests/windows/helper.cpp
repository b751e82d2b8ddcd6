// A stand-in for the watched program (and for a planted taskkill.exe) in the
// Windows tests, started under whatever file name a test copies it to.
// When WATCHDOG_HELPER_REPORTS names a folder, it first writes there a file
// "NAME-PID.txt" holding, one per line in UTF-8, its pid, its full path and
// each of its arguments. Then it sleeps until it is ended: a numeric first
// argument gives the seconds, else WATCHDOG_HELPER_SECONDS, else 300, so that
// none lingers after a test that failed to end it.
// As "probe_helper --job FILE" it is a deployment tool instead: it runs the
// command line in FILE (UTF-8, exactly as written, through CreateProcess)
// inside a job that kills what is left in it once closed, waits for that
// process, prints its exit code and how many processes are still in the job,
// closes the job and exits with that exit code.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string toUtf8(const std::wstring &wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(std::size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), &bytes[0], length, nullptr, nullptr);
    return bytes;
}

std::wstring environment(const wchar_t *name)
{
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

bool isNumber(const wchar_t *text)
{
    if (!*text)
        return false;
    for (; *text; ++text) {
        if (*text < L'0' || *text > L'9')
            return false;
    }
    return true;
}

void report(const std::wstring &folder, const std::wstring &path, int argc, wchar_t **argv)
{
    std::string text = std::to_string(GetCurrentProcessId()) + '\n' + toUtf8(path) + '\n';
    for (int i = 1; i < argc; ++i)
        text += toUtf8(argv[i]) + '\n';
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    const std::wstring file = folder + L'\\' + name + L'-' + std::to_wstring(GetCurrentProcessId());
    // Written aside and moved into place, so that a reader never sees half of it.
    const HANDLE handle = CreateFileW((file + L".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(handle, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(handle);
    MoveFileExW((file + L".tmp").c_str(), (file + L".txt").c_str(), MOVEFILE_REPLACE_EXISTING);
}

int runInJob(const wchar_t *file)
{
    std::string bytes;
    if (FILE *in = _wfopen(file, L"rb")) {
        char buffer[4096];
        for (std::size_t read; (read = fread(buffer, 1, sizeof buffer, in)) > 0;)
            bytes.append(buffer, read);
        fclose(in);
    }
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r'))
        bytes.pop_back();
    std::wstring commandLine(bytes.size() + 1, L'\0');
    commandLine.resize(std::size_t(
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), &commandLine[0], int(commandLine.size()))));
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (commandLine.empty() || !job ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process)) {
        std::printf("could not start it: error %lu\n", GetLastError());
        return 255;
    }
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        std::printf("could not put it in a job: error %lu\n", GetLastError());
        TerminateProcess(process.hProcess, 255);
        return 255;
    }
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 255;
    GetExitCodeProcess(process.hProcess, &exitCode);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr);
    // Said as well as returned: under load Wine's server may kill this process
    // as it ends, and Linux then sees 137 whatever the code.
    std::printf("exit code: %lu\nleft in the job: %lu\n", exitCode, accounting.ActiveProcesses);
    // Which, for the log.
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 64;
    if (accounting.ActiveProcesses &&
        QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr)) {
        for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
            const HANDLE left = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(ids.list.ProcessIdList[i]));
            wchar_t image[MAX_PATH] = L"?";
            DWORD size = MAX_PATH;
            if (left) {
                QueryFullProcessImageNameW(left, 0, image, &size);
                CloseHandle(left);
            }
            std::printf("  %s\n", toUtf8(image).c_str());
        }
    }
    std::fflush(stdout);
    CloseHandle(job);
    return int(exitCode);
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc == 3 && std::wcscmp(argv[1], L"--job") == 0)
        return runInJob(argv[2]);
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring folder = environment(L"WATCHDOG_HELPER_REPORTS");
    if (!folder.empty() && argv)
        report(folder, std::wstring(path, length), argc, argv);

    unsigned long seconds = 300;
    const std::wstring fromEnvironment = environment(L"WATCHDOG_HELPER_SECONDS");
    if (argv && argc > 1 && isNumber(argv[1]))
        seconds = std::wcstoul(argv[1], nullptr, 10);
    else if (isNumber(fromEnvironment.c_str()))
        seconds = std::wcstoul(fromEnvironment.c_str(), nullptr, 10);
    LocalFree(argv);
    Sleep(DWORD(seconds * 1000));
    return 0;
}
