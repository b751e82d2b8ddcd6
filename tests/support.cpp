#include "support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

extern char **environ;

namespace support {

QString uniqueName(const QString &stem, const QString &suffix)
{
    return stem + QLatin1Char('-') + QString::number(getpid()) + QLatin1Char('-')
           + QString::number(QRandomGenerator::global()->bounded(1000000)) + suffix;
}


char processState(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close < 0 || close + 2 >= stat.size() ? 0 : stat.at(close + 2);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList reportLines(const QString &reportFile)
{
    return QString::fromUtf8(readFile(reportFile)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

namespace {
std::mutex debugMutex;
QStringList debugMessages;
QtMsgType collectedType = QtDebugMsg;
QtMessageHandler previousHandler = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == collectedType) {
        std::lock_guard<std::mutex> lock(debugMutex);
        debugMessages << message;
    }
    previousHandler(type, context, message);
}
} // namespace

DebugCapture::DebugCapture(QtMsgType type)
{
    debugMessages.clear();
    collectedType = type;
    previousHandler = qInstallMessageHandler(collect);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previousHandler);
}

QStringList DebugCapture::messages() const
{
    std::lock_guard<std::mutex> lock(debugMutex);
    return debugMessages;
}

StandinFolder::StandinFolder()
    : m_oldPath(qgetenv("PATH"))
{
    // Every stand-in, however started, ends by itself in the end: a test run
    // that is killed, or a check that fails halfway, leaves none for good.
    qputenv("STANDIN_LIFETIME", "600");
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + m_oldPath);
}

StandinFolder::~StandinFolder()
{
    for (const Spawned &spawned : std::vector<Spawned>(m_spawned))
        end(spawned.pid);
    for (const Spawned &spawned : m_spawned)
        ::close(spawned.stdinFd);
    qputenv("PATH", m_oldPath);
}

QString StandinFolder::add(const QString &fileName)
{
    const QString target = m_dir.filePath(fileName);
    QFile::remove(target);
    if (!QFile::copy(QStringLiteral(STANDIN_PATH), target))
        qFatal("cannot copy the stand-in to %s", qPrintable(target));
    QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);
    return target;
}

pid_t StandinFolder::spawn(const QString &program, const QStringList &args, const QStringList &env)
{
    std::vector<QByteArray> argBytes{QFile::encodeName(program)};
    for (const QString &arg : args)
        argBytes.push_back(arg.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &arg : argBytes)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envBytes;
    for (const QString &entry : env)
        envBytes.push_back(entry.toUtf8());
    std::vector<char *> envp;
    for (QByteArray &entry : envBytes)
        envp.push_back(entry.data());
    for (char **entry = environ; *entry; ++entry)
        envp.push_back(*entry);
    envp.push_back(nullptr);

    // Its own stdin pipe, never written: a program that reads it waits.
    int stdinPipe[2];
    if (pipe2(stdinPipe, O_CLOEXEC) != 0)
        qFatal("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdinPipe[0], STDIN_FILENO);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(stdinPipe[0]);
    if (error != 0)
        qFatal("posix_spawn %s failed: %s", argv[0], strerror(error));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_spawned.push_back({pid, stdinPipe[1]});
    return pid;
}

void StandinFolder::end(pid_t pid)
{
    ::kill(pid, SIGKILL);
    reap(pid);
}

bool StandinFolder::reap(pid_t pid, int timeoutMs)
{
    int status = 0;
    pid_t result = 0;
    waitUntil([&] { return (result = waitpid(pid, &status, WNOHANG)) != 0; }, timeoutMs);
    if (result != 0)
        forget(pid); // reaped, or not a child of this process (any more)
    return result == pid;
}

void StandinFolder::forget(pid_t pid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find_if(m_spawned.begin(), m_spawned.end(),
                                 [pid](const Spawned &s) { return s.pid == pid; });
    if (it != m_spawned.end()) {
        ::close(it->stdinFd);
        m_spawned.erase(it);
    }
}

} // namespace support
