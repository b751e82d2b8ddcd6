#pragma once

#include "waituntil.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <vector>

namespace support {

// A file name no other process on the machine has, so tests touch only their own.
QString uniqueName(const QString &stem, const QString &suffix = QStringLiteral(".exe"));

// 'R', 'S', 'Z', ... from /proc/PID/stat; 0 when there is no such process.
char processState(pid_t pid);
inline bool isAlive(pid_t pid)
{
    const char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

QByteArray readFile(const QString &path);

// A number below `count` that no other process on the machine holds under
// `what` while this one lives; -1 when all are held. For names that can't
// carry a unique part, such as one of spaces only.
int claimNumber(const QByteArray &what, int count);

// Chooses the id that the next process started in this PID namespace gets,
// through /proc/sys/kernel/ns_last_pid; other runs wait while one lives.
class NextPid
{
public:
    NextPid();
    ~NextPid();
    NextPid(const NextPid &) = delete;
    NextPid &operator=(const NextPid &) = delete;

    // Why ids can't be chosen here; empty when they can.
    QString whyNot() const { return m_whyNot; }
    // False when the write failed; the id may still go to whoever starts first.
    bool set(pid_t next);

private:
    int m_fd = -1;
    int m_lock = -1;
    QString m_whyNot;
};

// Whether other users may run the file at `path`: it and every folder above it executable by them.
bool runnableByOthers(const QString &path);

// Runs the test function (and data row) that calls it again, alone, in a
// process of its own with `variable` set to `value`, behind `wrapper` (a
// program and its arguments) if given. Within that process it does nothing.
#define RUN_ALONE(variable, value, ...)                                                                     \
    if (!qEnvironmentVariableIsSet(variable)) {                                                            \
        const QString outcome = support::runAlone(variable, value, ##__VA_ARGS__);                         \
        if (outcome.startsWith(QLatin1String("SKIP ")))                                                   \
            QSKIP(qPrintable(outcome.mid(5)));                                                             \
        QVERIFY2(outcome.isEmpty(), qPrintable(outcome));                                                  \
        return;                                                                                            \
    }

// Empty when that run passed; "SKIP " and the reason when it skipped; otherwise its output.
QString runAlone(const char *variable, const QString &value, QStringList wrapper = {});

// The pids and arguments that stand-ins wrote to a report file, one line each.
QStringList reportLines(const QString &reportFile);

// Installs a message handler that collects messages of one type (qDebug(),
// qWarning(), ...) while it lives.
class DebugCapture
{
public:
    explicit DebugCapture(QtMsgType type = QtDebugMsg);
    ~DebugCapture();
    QStringList messages() const;
};

// A temporary folder of copies of the stand-in program, first on PATH while it
// lives. Processes it spawns are killed and reaped when it goes.
class StandinFolder
{
public:
    StandinFolder();
    ~StandinFolder();
    StandinFolder(const StandinFolder &) = delete;
    StandinFolder &operator=(const StandinFolder &) = delete;

    QString path() const { return m_dir.path(); }
    // Copies the stand-in under `fileName`; returns its full path.
    QString add(const QString &fileName);
    // Starts a program (copied here or not) with the given arguments and environment additions.
    pid_t spawn(const QString &program, const QStringList &args = {}, const QStringList &env = {});
    // SIGKILL to one spawned process and reap it.
    void end(pid_t pid);
    // Stops tracking a process that the caller reaped itself.
    void forget(pid_t pid);
    // Reaps a spawned process that has ended; false if it is still running after `timeoutMs`.
    bool reap(pid_t pid, int timeoutMs = 30000);

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
    struct Spawned
    {
        pid_t pid;
        int stdinFd;
    };
    std::vector<Spawned> m_spawned;
    std::mutex m_mutex; // spawned from more than one thread

};

} // namespace support
