#include "support_win.h"

#include <QDir>
#include <QElapsedTimer>

namespace support {

QString uniqueTag()
{
    static int serial = 0;
    return QString::number(GetCurrentProcessId()) + QLatin1Char('-') + QString::number(++serial);
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

bool hasEnded(HANDLE process, DWORD timeoutMs)
{
    return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
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
    if (m_job)
        CloseHandle(m_job);
}

DWORD ProcessJob::processesStarted() const
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    QueryInformationJobObject(m_job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr);
    return accounting.TotalProcesses;
}

void ProcessJob::endOthers()
{
    struct
    {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[255];
    } ids{};
    if (!QueryInformationJobObject(m_job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        return;
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
        const DWORD pid = DWORD(ids.list.ProcessIdList[i]);
        if (pid == GetCurrentProcessId())
            continue;
        if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
}

} // namespace support
