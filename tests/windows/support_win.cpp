#include "support_win.h"

#include <QDir>
#include <QElapsedTimer>

#include <cstddef>
#include <cstring>
#include <vector>

namespace support {

QString uniqueTag()
{
    static int serial = 0;
    return QString::number(GetCurrentProcessId()) + QLatin1Char('-') + QString::number(++serial);
}


bool hasEnded(HANDLE process, DWORD timeoutMs)
{
    return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
}

bool runsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool isRunning(DWORD pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process)
        return false;
    const bool running = !hasEnded(process);
    CloseHandle(process);
    return running;
}

HANDLE startProgram(const QString &path, const QString &arguments)
{
    const QString native = QDir::toNativeSeparators(path);
    std::wstring commandLine = (QLatin1Char('"') + native + QStringLiteral("\" ") + arguments).toStdWString();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(reinterpret_cast<const wchar_t *>(native.utf16()), &commandLine[0], nullptr, nullptr, FALSE,
                        0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

Later::Later(DWORD delayMs, std::function<void()> work)
    : m_delayMs(delayMs)
    , m_work(std::move(work))
    , m_thread(CreateThread(nullptr, 0, run, this, 0, nullptr))
{
}

Later::~Later()
{
    if (m_thread) {
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }
}

DWORD WINAPI Later::run(void *self)
{
    Later *const later = static_cast<Later *>(self);
    Sleep(later->m_delayMs);
    later->m_work();
    return 0;
}

ProcessJob::ProcessJob()
    : m_job(CreateJobObjectW(nullptr, nullptr))
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    m_joined = m_job && SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof limits)
               && AssignProcessToJobObject(m_job, GetCurrentProcess());
}

ProcessJob::~ProcessJob()
{
    // The handle is left to close with this process: closing it would end this
    // process too, a member of the job (and Wine's server crashes then).
    endOthers();
}

DWORD ProcessJob::processesStarted() const
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    QueryInformationJobObject(m_job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr);
    return accounting.TotalProcesses;
}

void ProcessJob::endOthers()
{
    // The list's header, then its ids; read by offset, past the one id the struct declares.
    std::vector<ULONG_PTR> buffer(1024);
    auto *const list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(buffer.data());
    if (!QueryInformationJobObject(m_job, JobObjectBasicProcessIdList, list, DWORD(buffer.size() * sizeof(ULONG_PTR)),
                                   nullptr))
        return;
    const char *const ids = reinterpret_cast<const char *>(list) + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
        ULONG_PTR pid = 0;
        std::memcpy(&pid, ids + i * sizeof pid, sizeof pid);
        if (pid == GetCurrentProcessId())
            continue;
        if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, DWORD(pid))) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
}

} // namespace support
