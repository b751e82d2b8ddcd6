#pragma once

#include "../waituntil.h"

#include <QString>

#include <windows.h>

#include <functional>

// What the Windows suites share.
namespace support {

// A tag no other process has, so that each case sees only its own names.
QString uniqueTag();

bool hasEnded(HANDLE process, DWORD timeoutMs = 0);

// Whether this runs under Wine, which differs from Windows where a test says so.
bool runsUnderWine();
bool isRunning(DWORD pid);

// Starts `path` with the command line `"path" arguments`; its process handle
// (the caller closes it), or nullptr.
HANDLE startProgram(const QString &path, const QString &arguments);

// Runs `work` on a thread of its own after `delayMs`; waits for it on going.
// (MinGW's Windows threads give neither std::thread nor QThread::create.)
class Later
{
public:
    Later(DWORD delayMs, std::function<void()> work);
    ~Later();
    Later(const Later &) = delete;
    Later &operator=(const Later &) = delete;

    // Whether the thread could be started.
    bool isStarted() const { return m_thread != nullptr; }

private:
    static DWORD WINAPI run(void *self);
    DWORD m_delayMs;
    std::function<void()> m_work;
    HANDLE m_thread;
};

// A job that this program joins, so that every process it starts, and theirs,
// ends when it ends, however it ends. Going, it ends them at once.
class ProcessJob
{
public:
    ProcessJob();
    ~ProcessJob();
    ProcessJob(const ProcessJob &) = delete;
    ProcessJob &operator=(const ProcessJob &) = delete;

    bool isJoined() const { return m_joined; }
    // How many processes were ever started in the job, this one included.
    DWORD processesStarted() const;
    // Ends every process of the job but this one.
    void endOthers();

private:
    HANDLE m_job;
    bool m_joined = false;
};

} // namespace support
