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
#include <signal.h>
#include <unistd.h>

#include <thread>

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
        // The directory part plays no part: the program is found by its bare name.
        configure(QStringLiteral("D:/elsewhere/") + m_name);
    }

    void cleanup()
    {
        qunsetenv("STANDIN_REPORT");
        m_settings.reset();
        m_folder.reset();
        QVERIFY(QDir::setCurrent(m_previousDir));
    }

    void passRecordsStartsHoldsAndEnds()
    {
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QCOMPARE(watchdog::watchPass(*m_settings, 500), Pass::Restarted);
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        const QStringList first = records(m_name);
        QCOMPARE(first.size(), 1);
        const QDateTime stamp = QDateTime::fromString(first[0].left(19), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(stamp >= before && stamp <= after);

        // Started by its bare name, with the one argument, and ended after the hold.
        const QStringList started = support::reportLines(m_report);
        QCOMPARE(started.size(), 1);
        const QStringList fields = started[0].split(QLatin1Char(' '));
        QCOMPARE(fields.mid(1), QStringList{QStringLiteral("command")});
        QCOMPARE(support::processState(pid_t(fields[0].toInt())), '\0');

        // The next pass finds it gone and appends; earlier lines stay as they were.
        const QByteArray logBefore = support::readFile(kLog);
        QCOMPARE(watchdog::watchPass(*m_settings, 100), Pass::Restarted);
        QCOMPARE(records(m_name).size(), 2);
        QVERIFY(support::readFile(kLog).startsWith(logBefore));
        QCOMPARE(support::reportLines(m_report).size(), 2);
    }

    void holdEndsEveryInstanceOfThatNameOnly()
    {
        // Others start during the hold: one of the same name, and namesakes.
        const QStringList namesakes{m_name.toUpper(), m_name.chopped(1), m_name.mid(1), m_name + QLatin1Char('x')};
        std::vector<pid_t> same, others;
        for (const QString &other : namesakes)
            m_folder->add(other);
        std::thread starter([&] {
            QThread::msleep(200);
            same.push_back(m_folder->spawn(m_folder->path() + QLatin1Char('/') + m_name));
            for (const QString &other : namesakes)
                others.push_back(m_folder->spawn(m_folder->path() + QLatin1Char('/') + other));
        });
        QCOMPARE(watchdog::watchPass(*m_settings, 1000), Pass::Restarted);
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
        QCOMPARE(watchdog::watchPass(*m_settings, 100, 10), Pass::FoundRunning);
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
        QCOMPARE(watchdog::watchPass(*m_settings, 100, 300), Pass::FoundRunning);
        QVERIFY(timer.elapsed() >= 290);

        // Its end wakes the pass long before the wait runs out; the next pass restarts it.
        std::thread killer([&] {
            QThread::msleep(100);
            ::kill(pid, SIGKILL);
        });
        timer.restart();
        QCOMPARE(watchdog::watchPass(*m_settings, 100, 20000), Pass::FoundRunning);
        QVERIFY(timer.elapsed() < 10000);
        killer.join();
        QVERIFY(m_folder->reap(pid));
        QCOMPARE(watchdog::watchPass(*m_settings, 100), Pass::Restarted);
    }

    void unwritableLogStillStarts()
    {
        QVERIFY(QDir().mkdir(kLog));
        QCOMPARE(watchdog::watchPass(*m_settings, 300), Pass::Restarted);
        QCOMPARE(support::reportLines(m_report).size(), 1);
    }

    void missingProgramIsRecordedAndTried()
    {
        const QString missing = support::uniqueName(QStringLiteral("Missing"));
        configure(QStringLiteral("/nowhere/") + missing);
        QCOMPARE(watchdog::watchPass(*m_settings, 10), Pass::Restarted);
        QCOMPARE(records(missing).size(), 1);
        QVERIFY(support::reportLines(m_report).isEmpty());
    }

    void outputFloodDoesNotBlockTheProgram()
    {
        ScopedEnv flood("STANDIN_FLOOD", QByteArray::number(8 << 20));
        SilencedStdout silence;
        QCOMPARE(watchdog::watchPass(*m_settings, 3000), Pass::Restarted);
        const QStringList lines = support::reportLines(m_report);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[1].endsWith(QStringLiteral(" flooded")));
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

    void stdinReadsEndOfFile()
    {
        // Its stdin is the null device: the program sees end of file, not a pipe left open.
        const QString reader = support::uniqueName(QStringLiteral("rd"), QStringLiteral(".sh"));
        QFile script(m_folder->path() + QLatin1Char('/') + reader);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nread line\necho \"$? $1\" >> \"$STANDIN_REPORT\"\nexec sleep 60\n");
        script.close();
        script.setPermissions(script.permissions() | QFile::ExeOwner);
        configure(QStringLiteral("/x/") + reader);
        QCOMPARE(watchdog::watchPass(*m_settings, 500), Pass::Restarted);
        QCOMPARE(support::reportLines(m_report), QStringList{QStringLiteral("1 command")});
    }
};

QTEST_MAIN(TestWatchPass)
#include "tst_watchpass.moc"
