#include "support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
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

namespace {
// An abstract socket's name is held machine-wide until the socket is closed or
// its process ends, however it ends, and it leaves no file behind.
int holdName(const QByteArray &what)
{
    const QByteArray name = "tallowbrecken-watchdog-tests/" + what;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address),
                        socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

int claimNumber(const QByteArray &what, int count)
{
    for (int number = 0; number < count; ++number)
        if (holdName(what + '/' + QByteArray::number(number)) >= 0)
            return number; // held for the life of the process
    return -1;
}

NextPid::NextPid()
{
    // Every user may open the file (mode 0666), but only CAP_SYS_ADMIN or
    // CAP_CHECKPOINT_RESTORE may write it, so only a write tells. Writing back
    // the value read at most starts the next search for a free id a little earlier.
    const char *const path = "/proc/sys/kernel/ns_last_pid";
    char last[32];
    ssize_t size = 0;
    m_fd = open(path, O_RDWR | O_CLOEXEC);
    if (m_fd < 0 || (size = pread(m_fd, last, sizeof last, 0)) <= 0 || pwrite(m_fd, last, size_t(size), 0) != size) {
        const int error = errno;
        m_whyNot = QStringLiteral("can't choose the next process id: writing %1: %2%3")
                       .arg(QLatin1String(path), QString::fromLocal8Bit(strerror(error)),
                            error == EPERM ? QStringLiteral(" (it takes CAP_SYS_ADMIN or CAP_CHECKPOINT_RESTORE, as root has)")
                                           : QString());
        return;
    }
    // Runs that choose ids at once take each other's: one at a time on the machine.
    if (!waitUntil([this] { return (m_lock = holdName("next pid")) >= 0; }, 60000))
        m_whyNot = QStringLiteral("another run kept choosing process ids for a minute");
}

NextPid::~NextPid()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_lock >= 0)
        ::close(m_lock);
}

bool NextPid::set(pid_t next)
{
    const QByteArray last = QByteArray::number(next - 1);
    return m_whyNot.isEmpty() && pwrite(m_fd, last.constData(), size_t(last.size()), 0) == last.size();
}

bool runnableByOthers(const QString &path)
{
    for (QFileInfo at(path); !at.isRoot(); at = QFileInfo(at.absolutePath())) {
        if (!(at.permissions() & QFile::ExeOther))
            return false;
    }
    return true;
}

QString runAlone(const char *variable, const QString &value, QStringList wrapper)
{
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(variable), value);
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    // Not the test's own folder, which may be closed to the wrapper's user.
    run.setWorkingDirectory(QCoreApplication::applicationDirPath());
    QString function = QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        function += QLatin1Char(':') + QString::fromUtf8(QTest::currentDataTag());
    wrapper << QCoreApplication::applicationFilePath() << function;
    run.start(wrapper.takeFirst(), wrapper);
    if (!run.waitForFinished(120000)) {
        run.kill();
        run.waitForFinished();
        return QStringLiteral("no end after 120 s: ") + QString::fromLocal8Bit(run.readAll());
    }
    const QByteArray output = run.readAll();
    const int skip = output.indexOf("SKIP   :");
    if (skip >= 0) {
        const int reason = output.indexOf(") ", skip) + 2;
        return QStringLiteral("SKIP ") + QString::fromLocal8Bit(output.mid(reason, output.indexOf('\n', reason) - reason));
    }
    return run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0 ? QString() : QString::fromLocal8Bit(output);
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
    // A stand-in outlives a test that dies (a time-out, qFatal) and keeps CTest
    // waiting on the output it holds. The signal comes when the starting thread
    // ends, so only stand-ins started by the main thread, which ends last, ask for it.
    if (gettid() == getpid())
        envBytes.push_back("STANDIN_DIE_WITH_PARENT=1");
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
