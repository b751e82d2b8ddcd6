#include "processkill.h"
#include "processprobe.h"
#include "support.h"
#include "watchdog.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using support::StandinFolder;
using watchdog::Pass;

namespace {

const QString kLog = QStringLiteral("restart_vortelin_recored.txt");

// Sets an environment variable for the stand-ins that a pass starts, while it lives.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : m_name(name)
    {
        qputenv(name, value);
    }
    ~ScopedEnv() { qunsetenv(m_name); }

private:
    const char *m_name;
};

// Sends this process's standard output to /dev/null while it lives.
class SilencedStdout
{
public:
    SilencedStdout()
        : m_saved(dup(STDOUT_FILENO))
    {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~SilencedStdout()
    {
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }

private:
    int m_saved;
};

// Makes system call `nr` fail with `error` for this process and all it starts
// from now on; only where its first argument is `firstArgument`, if one is given.
bool refuseSyscall(unsigned nr, int error, int firstArgument = -1)
{
    std::vector<sock_filter> filter{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, __u8(firstArgument < 0 ? 1 : 3)),
    };
    if (firstArgument >= 0) {
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, unsigned(firstArgument), 0, 1));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | unsigned(error)));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog program{(unsigned short)filter.size(), filter.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Makes waitid() on a pidfd fail as on a kernel without pidfds, so that Qt
// reaps its children in a SIGCHLD handler, as Qt before 5.15 always does.
bool refusePidfdWaits()
{
    if (!refuseSyscall(__NR_waitid, EINVAL, 3 /* P_PIDFD */))
        return false;
    // Qt's own test: a pidfd that can't be open gives EBADF only where pidfds can be waited on.
    return syscall(__NR_waitid, 3, INT_MAX, nullptr, WEXITED | WNOHANG, nullptr) < 0 && errno == EINVAL;
}

// As a kernel before 5.3 (ENOSYS), or a seccomp profile that doesn't know pidfds (ENOSYS or EPERM).
bool refusePidfdOpen(int error)
{
    return refuseSyscall(SYS_pidfd_open, error) && syscall(SYS_pidfd_open, getpid(), 0) < 0 && errno == error;
}

// Whether process `pid` lives and still is the program `name` (its kernel
// name): ids are reused, soon where the id space is small (32768 here) and
// other tests move the next id back.
bool runsAs(pid_t pid, const QString &name)
{
    const QByteArray stat = support::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int open = stat.indexOf('(');
    return support::isAlive(pid) && open >= 0 && stat.mid(open + 1, stat.lastIndexOf(')') - open - 1) == QFile::encodeName(name).left(15);
}

// The peak of this process's resident memory, in KiB, since the last reset.
long peakMemoryKib()
{
    const QByteArray status = support::readFile(QStringLiteral("/proc/self/status"));
    const int at = status.indexOf("VmHWM:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').first().toLong();
}

} // namespace

class TestWatchPass : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;
    QString m_previousDir;
    QString m_name;
    QString m_report;
    std::unique_ptr<StandinFolder> m_folder;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<ProcessWatcher> m_watcher;

    std::thread m_intruderStarter;
    std::atomic<pid_t> m_intruder{-1};
    // How the last hold that runPass() cut short was timed, and when it was cut.
    Qt::TimerType m_holdType = Qt::VeryCoarseTimer;
    QElapsedTimer m_holdCut;

    // Long enough never to end by itself in runPass(): the test cuts it short.
    static constexpr unsigned long kTestHoldMs = 600000;

    // Runs one pass of `loop` to its end. Its hold, if it has one, is cut short
    // once `enough` holds (looked at every 10 ms): a short hold of a fixed length
    // would race the program's start, or an intruder's, on a busy machine.
    Pass runPass(watchdog::WatchLoop &loop, const std::function<bool()> &enough)
    {
        QEventLoop events;
        Pass result = Pass::FoundRunning;
        QObject::connect(&loop, &watchdog::WatchLoop::passFinished, &events, [&](Pass pass) {
            result = pass;
            events.quit();
        });
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &events, [&] {
            QTimer *const hold = loop.findChild<QTimer *>();
            if (hold && hold->isActive() && hold->interval() == int(kTestHoldMs) && enough()) {
                look.stop();
                m_holdType = hold->timerType();
                m_holdCut.start();
                hold->start(0);
            }
        });
        look.start(10);
        QTimer::singleShot(0, &loop, &watchdog::WatchLoop::startPass);
        events.exec();
        return result;
    }
    Pass passHeldUntil(const std::function<bool()> &enough)
    {
        watchdog::WatchLoop loop(*m_settings, *m_watcher, kTestHoldMs);
        return runPass(loop, enough);
    }
    std::function<bool()> reported(int lines)
    {
        return [this, lines] { return support::reportLines(m_report).size() >= lines; };
    }
    std::function<bool()> intruded()
    {
        return [this] { return m_intruder > 0; };
    }

    // Starts, during the hold, a second instance of `name` that the pass did not
    // start, a plain one whatever knobs the pass's own has: only the terminate
    // can end it. intruderWasEnded() tells whether it did.
    void intrudeDuringHold(const QString &name)
    {
        const int reported = support::reportLines(m_report).size();
        m_intruderStarter = std::thread([this, name, reported] {
            // Once the pass's own instance has started, it holds.
            if (support::waitUntil([&] { return support::reportLines(m_report).size() > reported; }))
                m_intruder = m_folder->spawn(m_folder->path() + QLatin1Char('/') + name, {},
                                             {QStringLiteral("STANDIN_REPORT="), QStringLiteral("STANDIN_EXIT="),
                                              QStringLiteral("STANDIN_CRASH="), QStringLiteral("STANDIN_NO_TERM="),
                                              QStringLiteral("STANDIN_FORK="), QStringLiteral("STANDIN_FLOOD=")});
        });
    }
    bool intruderWasEnded()
    {
        m_intruderStarter.join();
        const bool ended = m_intruder > 0 && !support::isAlive(m_intruder);
        if (m_intruder > 0)
            m_folder->end(m_intruder);
        m_intruder = -1;
        return ended;
    }

    void configure(const QString &path)
    {
        m_settings->setValue(QStringLiteral("VORTELIN_PATH"), path);
    }

    // The records in the log, checked for their shape and their name.
    QStringList records(const QString &name)
    {
        const QByteArray log = support::readFile(kLog);
        const QStringList lines = QString::fromUtf8(log).split(QLatin1Char('\n'));
        [&] {
            QVERIFY2(log.isEmpty() || log.endsWith('\n'), log.constData());
            QVERIFY(!log.contains('\r'));
        }();
        const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\|(.*)\\|restart$"));
        QStringList out;
        for (const QString &line : lines.mid(0, lines.size() - 1)) {
            const QRegularExpressionMatch match = shape.match(line);
            [&] {
                QVERIFY2(match.hasMatch(), qPrintable(line));
                QCOMPARE(match.captured(1), name);
            }();
            out << line;
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        // Children that the watched program leaves behind come here, to be reaped.
        QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    void init()
    {
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work.path()));
        QFile::remove(kLog);
        QDir(kLog).removeRecursively();
        m_folder = std::make_unique<StandinFolder>();
        m_name = support::uniqueName(QStringLiteral("Watched"));
        m_folder->add(m_name);
        m_report = m_folder->path() + QStringLiteral("/report.txt");
        qputenv("STANDIN_REPORT", QFile::encodeName(m_report));
        m_settings = std::make_unique<QSettings>(m_work.filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
        m_watcher = std::make_unique<ProcessWatcher>();
        // The directory part plays no part: the program is found by its bare name.
        configure(QStringLiteral("D:/elsewhere/") + m_name);
    }

    void cleanup()
    {
        if (m_intruderStarter.joinable())
            intruderWasEnded();
        qunsetenv("STANDIN_REPORT");
        m_watcher.reset();
        m_settings.reset();
        m_folder.reset();
        QVERIFY(QDir::setCurrent(m_previousDir));
    }

    void passRecordsStartsHoldsAndEnds()
    {
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        intrudeDuringHold(m_name);
        QCOMPARE(passHeldUntil(intruded()), Pass::Restarted);
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);
        QVERIFY(intruderWasEnded());

        const QStringList first = records(m_name);
        QCOMPARE(first.size(), 1);
        const QDateTime stamp = QDateTime::fromString(first[0].left(19), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(stamp >= before && stamp <= after);

        // Started by its bare name, with the one argument, and ended after the hold.
        const QStringList started = support::reportLines(m_report);
        QCOMPARE(started.size(), 1);
        const QStringList fields = started[0].split(QLatin1Char(' '));
        QCOMPARE(fields.mid(1), QStringList{QStringLiteral("command")});
        QVERIFY(!runsAs(pid_t(fields[0].toInt()), m_name));

        // The next pass finds it gone and appends; earlier lines stay as they were.
        const QByteArray logBefore = support::readFile(kLog);
        QCOMPARE(passHeldUntil(reported(2)), Pass::Restarted);
        QCOMPARE(records(m_name).size(), 2);
        QVERIFY(support::readFile(kLog).startsWith(logBefore));
        QCOMPARE(support::reportLines(m_report).size(), 2);
    }

    void holdLastsTwoHoursByDefault()
    {
        {
            watchdog::WatchLoop loop(*m_settings, *m_watcher);
            loop.startPass();
            const QTimer *const timer = loop.findChild<QTimer *>();
            QVERIFY(timer && timer->isActive());
            QCOMPARE(timer->interval(), 7200000);
            QCOMPARE(timer->timerType(), Qt::PreciseTimer);
        }
        // The loop gone mid-pass, the program it started runs on: ended here, and Qt collects it.
        QVERIFY(support::waitUntil([&] { return support::reportLines(m_report).size() == 1; }));
        const pid_t started = pid_t(support::reportLines(m_report)[0].section(QLatin1Char(' '), 0, 0).toInt());
        QVERIFY(support::isAlive(started));
        terminateProcesses(m_name);
        QVERIFY(QTest::qWaitFor([&] { return support::processState(started) == 0; }, 10000));
    }

    void holdEndsEveryInstanceOfThatNameOnly()
    {
        // Others start during the hold: one of the same name, and namesakes.
        const QStringList namesakes{m_name.toUpper(), m_name.chopped(1), m_name.mid(1), m_name + QLatin1Char('x')};
        std::vector<pid_t> same, others;
        std::atomic<bool> spawned{false};
        for (const QString &other : namesakes)
            m_folder->add(other);
        std::thread starter([&] {
            QThread::msleep(200);
            same.push_back(m_folder->spawn(m_folder->path() + QLatin1Char('/') + m_name));
            for (const QString &other : namesakes)
                others.push_back(m_folder->spawn(m_folder->path() + QLatin1Char('/') + other));
            spawned = true;
        });
        QCOMPARE(passHeldUntil([&] { return bool(spawned); }), Pass::Restarted);
        starter.join();

        QCOMPARE(same.size(), size_t(1));
        QVERIFY(!support::isAlive(same[0]));
        QVERIFY(m_folder->reap(same[0], 0));
        for (pid_t pid : others)
            QVERIFY(support::isAlive(pid));
    }

    void runningInstanceMeansNoRecordAndNoStart()
    {
        const pid_t pid = m_folder->spawn(m_folder->path() + QLatin1Char('/') + m_name);
        QVERIFY(support::waitUntil([&] { return support::reportLines(m_report).size() == 1; }));
        QCOMPARE(watchdog::watchPass(*m_settings, *m_watcher, 100, 10), Pass::FoundRunning);
        QVERIFY(!QFile::exists(kLog));
        QCOMPARE(support::reportLines(m_report).size(), 1);
        QVERIFY(support::isAlive(pid));
    }

    void passWaitsWhileTheProgramRuns()
    {
        const pid_t pid = m_folder->spawn(m_folder->path() + QLatin1Char('/') + m_name);
        QVERIFY(support::waitUntil([&] { return support::reportLines(m_report).size() == 1; }));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(watchdog::watchPass(*m_settings, *m_watcher, 100, 300), Pass::FoundRunning);
        QVERIFY(timer.elapsed() >= support::coarseEarliest(300));

        // Its end wakes the pass long before the wait runs out; the next pass restarts it.
        std::thread killer([&] {
            QThread::msleep(100);
            ::kill(pid, SIGKILL);
        });
        timer.restart();
        QCOMPARE(watchdog::watchPass(*m_settings, *m_watcher, 100, 20000), Pass::FoundRunning);
        QVERIFY(timer.elapsed() < 10000);
        killer.join();
        QVERIFY(m_folder->reap(pid));
        QCOMPARE(watchdog::watchPass(*m_settings, *m_watcher, 100), Pass::Restarted);
    }

    void badPathsAreTakenLiterally_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("startable");
        // Process names are machine-wide: each name here is this run's own, or
        // another run's instances would be found and ended.
        static const int spaces = support::claimNumber("spaces only", 250);
        if (spaces < 0)
            QSKIP("other runs hold every spaces-only name");
        const auto unique = [](const char *stem, const char *suffix) {
            return support::uniqueName(QString::fromUtf8(stem), QString::fromUtf8(suffix));
        };
        QTest::newRow("spaces only") << QString(1 + spaces, QLatin1Char(' ')) << true;
        QTest::newRow("trailing slash") << QString() << false;
        QTest::newRow("backslashes") << unique("D:\\apps\\Quill", ".exe") << true;
        QTest::newRow("non-ASCII") << unique("Ünï-名前", ".exe") << true;
        QTest::newRow("64 KiB") << QString(64 * 1024, QLatin1Char('q')) << false;
        // The longest a Linux file name can be.
        const QString longest = unique("n", ".exe");
        QTest::newRow("255 bytes") << QString(255 - longest.size(), QLatin1Char('n')) + longest << true;
        QTest::newRow("semicolon") << unique("x", "; touch pwned; rm -rf ~") << true;
        QTest::newRow("substitution") << unique("$(touch pwned)", "`touch pwned`") << true;
        QTest::newRow("quotes") << unique("\"'; touch pwned; '\"", "") << true;
        QTest::newRow("newline") << unique("x", "\ntouch pwned") << true;
        // Read as a pattern by a glob, a regular expression or taskkill, it
        // would name the bystander too, which must live on.
        QTest::newRow("wildcard") << QStringLiteral("Watched-%1-*").arg(getpid()) << true;
        QTest::newRow("missing program") << support::uniqueName(QStringLiteral("Missing")) << false;
        // Cut at the NUL, it would name another program, which Windows starts.
        QTest::newRow("NUL") << support::uniqueName(QStringLiteral("Other")) + QChar(0) + QStringLiteral("Quillbarrow.exe")
                             << false;
    }

    void badPathsAreTakenLiterally()
    {
        // Whatever the name holds, it is recorded, started as that one file
        // (never through a shell) or not at all, quietly, and no process of
        // another name is ended.
        QFETCH(QString, name);
        QFETCH(bool, startable);
        if (name.contains(QLatin1Char('*')))
            QVERIFY(QRegularExpression(QRegularExpression::wildcardToRegularExpression(name)).match(m_name).hasMatch());
        const pid_t bystander = m_folder->spawn(m_folder->path() + QLatin1Char('/') + m_name);
        QVERIFY(support::waitUntil([&] { return support::reportLines(m_report).size() == 1; }));
        if (startable)
            m_folder->add(name);
        // The program the part before a NUL names runs: the pass neither waits on it nor ends it.
        pid_t beforeNul = -1;
        if (name.contains(QChar(0))) {
            const QString before = name.section(QChar(0), 0, 0);
            beforeNul = m_folder->spawn(m_folder->add(before), {}, {QStringLiteral("STANDIN_REPORT=")});
            QVERIFY(support::waitUntil([&] { return isProcessRunning(before.toUtf8().constData()) == 1; }));
        }
        configure(QStringLiteral("/opt/app/") + name);

        if (startable)
            intrudeDuringHold(name);
        {
            support::DebugCapture warnings(QtWarningMsg);
            QCOMPARE(passHeldUntil(startable ? intruded() : [] { return true; }), Pass::Restarted);
            QCOMPARE(warnings.messages(), QStringList());
        }
        if (startable)
            QVERIFY(intruderWasEnded());
        const QByteArray log = support::readFile(kLog);
        QVERIFY(log.endsWith(QByteArray("|" + name.toUtf8() + "|restart\n")));
        QCOMPARE(log.count("|restart\n"), 1);
        QStringList started = support::reportLines(m_report).mid(1);
        if (startable) {
            QCOMPARE(started.size(), 1);
            QVERIFY(started[0].endsWith(QStringLiteral(" command")));
            QVERIFY(!runsAs(pid_t(started[0].section(QLatin1Char(' '), 0, 0).toInt()), name));
        } else {
            QVERIFY(started.isEmpty());
        }
        QVERIFY(!QFile::exists(QStringLiteral("pwned")));
        QVERIFY(support::isAlive(bystander));
        QVERIFY(beforeNul < 0 || support::isAlive(beforeNul));
    }

    void restartLogFaultsLoseOnlyTheRecord_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("directory") << QStringLiteral("directory");
        QTest::newRow("full disk") << QStringLiteral("full disk");
    }

    void restartLogFaultsLoseOnlyTheRecord()
    {
        QFETCH(QString, kind);
        if (kind == QLatin1String("directory"))
            QVERIFY(QDir().mkdir(kLog));
        else
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), kLog));
        QCOMPARE(passHeldUntil(reported(1)), Pass::Restarted);
        QCOMPARE(support::reportLines(m_report).size(), 1);
        QCOMPARE(passHeldUntil(reported(2)), Pass::Restarted);
        QCOMPARE(support::reportLines(m_report).size(), 2);
        QFile::remove(kLog);
    }

    void concurrentAppendsKeepLinesWhole()
    {
        // Two watchdogs may share a log. Records larger than any buffer on the way
        // show whether each one still reaches the file in one piece.
        const QString big(40000, QLatin1Char('b'));
        const QString small = QStringLiteral("s");
        auto writer = [](const QString &name) {
            for (int i = 0; i < 150; ++i)
                watchdog::appendRestartRecord(name);
        };
        std::thread first(writer, big);
        std::thread second(writer, small);
        first.join();
        second.join();
        const QStringList lines = QString::fromUtf8(support::readFile(kLog)).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 301);
        QVERIFY(lines.last().isEmpty());
        int bigLines = 0;
        for (const QString &line : lines.mid(0, 300)) {
            const bool isBig = line.size() == 19 + 1 + big.size() + 8;
            QVERIFY2(isBig || line.size() == 19 + 1 + small.size() + 8, qPrintable(line.left(60)));
            bigLines += isBig;
        }
        QCOMPARE(bigLines, 150);
    }

    void programFaultsKeepTheLoopGoing_data()
    {
        QTest::addColumn<QByteArray>("knob");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("reportedAfterStart");
        QTest::addColumn<bool>("childSurvives");
        QTest::newRow("exits at once") << QByteArray("STANDIN_EXIT") << QByteArray("1") << QString() << false;
        QTest::newRow("crashes") << QByteArray("STANDIN_CRASH") << QByteArray("1") << QString() << false;
        QTest::newRow("ignores SIGTERM") << QByteArray("STANDIN_NO_TERM") << QByteArray("1") << QString() << false;
        QTest::newRow("child of same name") << QByteArray("STANDIN_FORK") << QByteArray("same") << QStringLiteral(" child") << false;
        // As on Windows, where taskkill ends only processes of that image name.
        QTest::newRow("child of other name") << QByteArray("STANDIN_FORK") << QByteArray("other") << QStringLiteral(" child") << true;
        // Nothing reads a pipe of the child's, so output must not go to one.
        QTest::newRow("writes 100 MB") << QByteArray("STANDIN_FLOOD") << QByteArray::number(100 << 20) << QStringLiteral(" flooded") << false;
    }

    void programFaultsKeepTheLoopGoing()
    {
        QFETCH(QByteArray, knob);
        QFETCH(QByteArray, value);
        QFETCH(QString, reportedAfterStart);
        QFETCH(bool, childSurvives);
        ScopedEnv env(knob.constData(), value);
        intrudeDuringHold(m_name);
        // "5" resets the peak (Linux 4.0 on); where it can't, the peak so far makes the check only weaker.
        QFile peak(QStringLiteral("/proc/self/clear_refs"));
        if (peak.open(QIODevice::WriteOnly))
            peak.write("5");
        peak.close();
        const long memoryBefore = peakMemoryKib();
        {
            SilencedStdout silence;
            const std::function<bool()> lines = reported(reportedAfterStart.isEmpty() ? 1 : 2), intruder = intruded();
            // A child that becomes "sleep" has done so before the hold ends.
            const auto settled = [&] {
                const QStringList report = support::reportLines(m_report);
                return value != "other" || (report.size() > 1 && runsAs(pid_t(report[1].section(QLatin1Char(' '), 0, 0).toInt()), QStringLiteral("sleep")));
            };
            QCOMPARE(passHeldUntil([&] { return lines() && intruder() && settled(); }), Pass::Restarted);
        }
        // None of the child's output passes through the watchdog.
        QVERIFY2(peakMemoryKib() - memoryBefore < 50 * 1024, qPrintable(QString::number(peakMemoryKib() - memoryBefore)));
        const bool intruderEnded = intruderWasEnded();

        QCOMPARE(records(m_name).size(), 1);
        const QStringList lines = support::reportLines(m_report);
        QCOMPARE(lines.size(), reportedAfterStart.isEmpty() ? 1 : 2);
        QVERIFY(lines[0].endsWith(QStringLiteral(" command")));
        QVERIFY(!runsAs(pid_t(lines[0].section(QLatin1Char(' '), 0, 0).toInt()), m_name));
        if (!reportedAfterStart.isEmpty()) {
            QVERIFY(lines[1].endsWith(reportedAfterStart));
            const pid_t second = pid_t(lines[1].section(QLatin1Char(' '), 0, 0).toInt());
            // Checked by its name too: a flood's report comes from the pass's own
            // child, whose id is free again once it ended.
            const bool survived = runsAs(second, value == "other" ? QStringLiteral("sleep") : m_name);
            // Orphans come to this process (a subreaper): end and reap them here.
            m_folder->end(second);
            QCOMPARE(survived, childSurvives);
        }
        QVERIFY(intruderEnded);
    }

    void restartLogUsesTheLocaleEncoding_data()
    {
        QTest::addColumn<QByteArray>("codec");
        // CTest runs this suite under C.UTF-8.
        QTest::newRow("system locale") << QByteArray();
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        // A locale whose bytes differ from UTF-8. Qt 6 always takes UTF-8 as the
        // locale's encoding on Unix, so only Qt 5 can be shown another one here.
        QTest::newRow("Latin-1 locale") << QByteArray("ISO-8859-1");
#endif
    }

    void restartLogUsesTheLocaleEncoding()
    {
        QFETCH(QByteArray, codec);
        const QString name = QString::fromUtf8("Ünï-名前.exe");
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        QTextCodec *const previous = QTextCodec::codecForLocale();
        if (!codec.isEmpty())
            QTextCodec::setCodecForLocale(QTextCodec::codecForName(codec));
        const auto restore = qScopeGuard([previous] { QTextCodec::setCodecForLocale(previous); });
#endif
        const QByteArray local = name.toLocal8Bit();
        if (codec.isEmpty())
            QCOMPARE(local, name.toUtf8());
        else
            QCOMPARE(local.left(1), QByteArray("\xdc"));

        watchdog::appendRestartRecord(name);
        const QByteArray log = support::readFile(kLog);
        QVERIFY2(log.endsWith('|' + local + "|restart\n"), log.constData());
        QCOMPARE(log.count('\n'), 1);
    }

    void anEndedChildIsNotSignalledByItsOldId()
    {
        // Where Qt reaps its children as they end, the id of one that ended early
        // is free long before the hold ends, and any process may take it. This
        // hands it to a bystander, which must outlive the pass.
        RUN_ALONE("TST_WATCHPASS_SIGCHLD_REAPING", QStringLiteral("1"))
        support::NextPid nextPid;
        if (!nextPid.whyNot().isEmpty())
            QSKIP(qPrintable(nextPid.whyNot()));
        if (!refusePidfdWaits())
            QSKIP("no seccomp filter to keep Qt from pidfds here");
        const QString other = m_folder->add(support::uniqueName(QStringLiteral("Bystander")));
        ScopedEnv exitAtOnce("STANDIN_EXIT", "1");
        constexpr unsigned long hold = 3000;
        pid_t freed = 0, bystander = 0;
        bool reaped = false;
        QElapsedTimer clock;
        clock.start();
        std::thread handOver([&] {
            if (!support::waitUntil([&] { return !support::reportLines(m_report).isEmpty(); }))
                return;
            freed = pid_t(support::reportLines(m_report)[0].section(QLatin1Char(' '), 0, 0).toInt());
            reaped = support::waitUntil([&] { return support::processState(freed) == 0; });
            // Other processes may take ids meanwhile; it is tried until well before the hold ends.
            while (reaped && bystander != freed && clock.elapsed() < qint64(hold) - 1000) {
                if (bystander > 0)
                    m_folder->end(bystander);
                if (!nextPid.set(freed))
                    return;
                bystander = m_folder->spawn(other, {}, {QStringLiteral("STANDIN_EXIT="), QStringLiteral("STANDIN_REPORT=")});
            }
        });
        QCOMPARE(watchdog::watchPass(*m_settings, *m_watcher, hold), Pass::Restarted);
        handOver.join();
        QVERIFY2(reaped, "Qt left its child unreaped: it still uses pidfds");
        if (bystander != freed)
            QSKIP("other processes kept taking the freed id");
        // A signal takes a moment to land.
        QVERIFY(!support::waitUntil([&] { return !support::isAlive(bystander); }, 1000));
    }

    void aChildThatOutlivesTheKillIsLeftToQt()
    {
        // Only root can make a stand-in that the watchdog, run as another user, can't end.
        const char *const variable = "TST_WATCHPASS_UNKILLABLE";
        if (!qEnvironmentVariableIsSet(variable)) {
            if (geteuid() != 0)
                QSKIP("needs root, for a set-user-ID root stand-in");
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (setpriv.isEmpty())
                QSKIP("setpriv (util-linux) is missing");
            if (!support::runnableByOthers(QCoreApplication::applicationFilePath()) || !support::runnableByOthers(QStringLiteral(STANDIN_PATH)))
                QSKIP("the build folder is closed to other users");
            QTemporaryDir folder;
            const QString unkillable = folder.filePath(support::uniqueName(QStringLiteral("Unkillable")));
            QVERIFY(QFile::copy(QStringLiteral(STANDIN_PATH), unkillable));
            QCOMPARE(chmod(QFile::encodeName(folder.path()).constData(), 0755), 0);
            QCOMPARE(chmod(QFile::encodeName(unkillable).constData(), 04755), 0);
            RUN_ALONE(variable, unkillable,
                      {setpriv, QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")})
        }
        // Now as nobody.
        const QFileInfo unkillable(qEnvironmentVariable(variable));
        qputenv("PATH", QFile::encodeName(unkillable.absolutePath()) + ':' + qgetenv("PATH"));
        configure(QStringLiteral("/x/") + unkillable.fileName());
        ScopedEnv root("STANDIN_BECOME_ROOT", "1");
        ScopedEnv lifetime("STANDIN_LIFETIME", "15");
        // Whether it did become root is asked while it runs.
        pid_t child = 0;
        bool outOfReach = false;
        std::thread asker([&] {
            if (support::waitUntil([&] { return !support::reportLines(m_report).isEmpty(); })) {
                child = pid_t(support::reportLines(m_report)[0].section(QLatin1Char(' '), 0, 0).toInt());
                outOfReach = ::kill(child, 0) != 0 && errno == EPERM;
            }
        });
        QElapsedTimer clock;
        clock.start();
        QStringList warnings;
        {
            support::DebugCapture capture(QtWarningMsg);
            QCOMPARE(watchdog::watchPass(*m_settings, *m_watcher, 500), Pass::Restarted);
            warnings = capture.messages();
        }
        const qint64 took = clock.elapsed();
        asker.join();
        QVERIFY(child > 0);
        if (!outOfReach)
            QSKIP("the set-user-ID stand-in did not become root here (a nosuid mount?)");
        // Not as long as the child lives (15 s): the give-up wait of the child is all.
        QVERIFY2(took < 13000, qPrintable(QString::number(took)));
        QCOMPARE(warnings, QStringList());
        // When it ends at last, Qt collects it: no zombie stays behind.
        QVERIFY(QTest::qWaitFor([&] { return support::processState(child) == 0; }, 30000));
    }

    void terminateGivesUpOnAProcessTheKillDoesNotEnd()
    {
        // The first process of a PID namespace ignores a SIGKILL sent from
        // inside it, though the signal is taken: the terminate, run there,
        // waits its 5 s for it to end, and no longer.
        const char *const variable = "TST_WATCHPASS_IN_NAMESPACE";
        if (!qEnvironmentVariableIsSet(variable)) {
            if (geteuid() != 0)
                QSKIP("needs root, for a PID namespace");
            const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
            const QString nsenter = QStandardPaths::findExecutable(QStringLiteral("nsenter"));
            const QString timeout = QStandardPaths::findExecutable(QStringLiteral("timeout"));
            if (unshare.isEmpty() || nsenter.isEmpty() || timeout.isEmpty())
                QSKIP("unshare, nsenter or timeout (util-linux, coreutils) is missing");
            if (!QFile::exists(QStringLiteral("/proc/self/task/%1/children").arg(getpid())))
                QSKIP("this kernel doesn't list a process's children (CONFIG_PROC_CHILDREN)");
            const QString name = support::uniqueName(QStringLiteral("NamespaceInit"));
            // Should this run be killed, timeout ends unshare, and with it the namespace.
            const pid_t wrapper = m_folder->spawn(timeout, {QStringLiteral("-s"), QStringLiteral("KILL"), QStringLiteral("120"),
                                                            unshare, QStringLiteral("--pid"), QStringLiteral("--fork"),
                                                            QStringLiteral("--mount-proc"), QStringLiteral("--kill-child"),
                                                            m_folder->add(name)});
            const auto childOf = [](const QByteArray &pid) {
                return support::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(QString::fromLatin1(pid))).trimmed();
            };
            QByteArray unsharer, init;
            const auto end = qScopeGuard([&] {
                // Ending unshare ends init (--kill-child), and quietly: unshare would report init's end.
                if (!init.isEmpty())
                    ::kill(pid_t(unsharer.toInt()), SIGKILL);
                QVERIFY(m_folder->reap(wrapper));
            });
            support::waitUntil([&] {
                unsharer = childOf(QByteArray::number(wrapper));
                init = unsharer.isEmpty() ? QByteArray() : childOf(unsharer);
                return (!init.isEmpty() && isProcessRunning(name.toUtf8().constData()) == 1) || !support::isAlive(wrapper);
            });
            if (!support::isAlive(wrapper))
                QSKIP("unshare could not make a PID namespace here");
            QVERIFY(!init.isEmpty());
            RUN_ALONE(variable, name, {nsenter, QStringLiteral("--all"), QStringLiteral("--target"), QString::fromLatin1(init)})
        }
        const QString name = qEnvironmentVariable(variable);
        QElapsedTimer clock;
        clock.start();
        terminateProcesses(name);
        const qint64 took = clock.elapsed();
        QCOMPARE(isProcessRunning(name.toUtf8().constData()), 1);
        QVERIFY2(took >= 4900 && took < 20000, qPrintable(QString::number(took)));
    }

    void withoutPidfdsInstancesAreEndedByTheirIds_data()
    {
        QTest::addColumn<int>("error");
        QTest::newRow("kernel without pidfds") << int(ENOSYS);
        QTest::newRow("seccomp answers EPERM") << int(EPERM);
    }

    void withoutPidfdsInstancesAreEndedByTheirIds()
    {
        RUN_ALONE("TST_WATCHPASS_NO_PIDFDS", QStringLiteral("1"))
        QFETCH(int, error);
        if (!refusePidfdOpen(error))
            QSKIP("no seccomp filter to take pidfds away here");
        support::DebugCapture warnings(QtWarningMsg);
        int interval = -1;
        // Runs `loop`'s pass to its end; its timer's type and interval once the pass has started.
        const auto run = [&interval](watchdog::WatchLoop &loop, Pass &result) {
            QEventLoop events;
            QObject::connect(&loop, &watchdog::WatchLoop::passFinished, &events, [&](Pass pass) {
                result = pass;
                events.quit();
            });
            loop.startPass();
            const QTimer *const timer = loop.findChild<QTimer *>();
            const Qt::TimerType type = timer && timer->isActive() ? timer->timerType() : Qt::VeryCoarseTimer;
            interval = timer ? timer->interval() : -1;
            events.exec();
            return type;
        };
        Pass result = Pass::Restarted;

        // An instance can't be waited on now: the pass looks again after its
        // poll, a second by default, on a coarse timer (on Windows a precise
        // one keeps the system's timer fast).
        const pid_t outside = m_folder->spawn(m_folder->path() + QLatin1Char('/') + m_name);
        QVERIFY(support::waitUntil([&] { return support::reportLines(m_report).size() == 1; }));
        {
            watchdog::WatchLoop loop(*m_settings, *m_watcher);
            QCOMPARE(run(loop, result), Qt::CoarseTimer);
            QCOMPARE(interval, 1000);
            QCOMPARE(result, Pass::FoundRunning);
        }
        m_folder->end(outside);

        // The hold is timed precisely, and a second instance started during it
        // is ended by its id: once killed, unreaped, it no longer counts, so the
        // terminate doesn't wait out its 5 s.
        intrudeDuringHold(m_name);
        {
            watchdog::WatchLoop loop(*m_settings, *m_watcher, kTestHoldMs, 200);
            QCOMPARE(runPass(loop, intruded()), Pass::Restarted);
            QCOMPARE(m_holdType, Qt::PreciseTimer);
        }
        QVERIFY2(m_holdCut.elapsed() < 4000, qPrintable(QString::number(m_holdCut.elapsed())));
        QVERIFY(intruderWasEnded());
        QCOMPARE(warnings.messages().filter(QStringLiteral("no pidfds")).size(), 1);
    }

    void stdinReadsEndOfFile()
    {
        const QString reader = support::uniqueName(QStringLiteral("rd"), QStringLiteral(".sh"));
        QFile script(m_folder->path() + QLatin1Char('/') + reader);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nread line\necho \"$? $1 $$\" >> \"$STANDIN_REPORT\"\nexec sleep 60\n");
        script.close();
        script.setPermissions(script.permissions() | QFile::ExeOwner);
        configure(QStringLiteral("/x/") + reader);
        QCOMPARE(passHeldUntil(reported(1)), Pass::Restarted);
        const QStringList lines = support::reportLines(m_report);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines[0].section(QLatin1Char(' '), 0, 1), QStringLiteral("1 command"));
        // Now "sleep", out of the terminate's reach, it is ended as the pass's own child.
        QVERIFY(!runsAs(pid_t(lines[0].section(QLatin1Char(' '), 2).toInt()), QStringLiteral("sleep")));
    }
};

QTEST_MAIN(TestWatchPass)
#include "tst_watchpass.moc"
