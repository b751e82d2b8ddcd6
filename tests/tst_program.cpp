#include "processkill.h"
#include "support.h"
#include "xserver.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <sys/prctl.h>
#include <sys/wait.h>

using support::StandinFolder;

namespace {

// Whether the C library knows `locale` ("ar_EG.UTF-8" is listed as "ar_EG.utf8").
bool hasLocale(const QString &locale)
{
    QProcess list;
    list.start(QStringLiteral("locale"), {QStringLiteral("-a")});
    if (!list.waitForFinished())
        return false;
    const QString wanted = QString(locale).replace(QStringLiteral("UTF-8"), QStringLiteral("utf8"));
    return QString::fromLocal8Bit(list.readAllStandardOutput()).split(QLatin1Char('\n')).contains(wanted);
}

void configure(const QTemporaryDir &work, const QString &path)
{
    QSettings settings(work.filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("VORTELIN_PATH"), path);
}

// The real program in `work`, its stand-ins reporting to `report`.
bool startWatchdog(QProcess &watchdog, const QTemporaryDir &work, const QString &report,
                   QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
{
    env.insert(QStringLiteral("STANDIN_REPORT"), report);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), work.path());
    watchdog.setProcessEnvironment(env);
    watchdog.setWorkingDirectory(work.path());
    watchdog.setProcessChannelMode(QProcess::ForwardedChannels);
    watchdog.start(QStringLiteral(WATCHDOG_PATH), QStringList());
    return watchdog.waitForStarted();
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The stand-in outlives the watchdog when it is killed; adopt it so it can be reaped.
        QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    void watchModeRecordsAndStartsAtOnce_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::newRow("C locale") << QStringLiteral("C.UTF-8");
        // Its digits are not ASCII; no program reading the log would parse them.
        QTest::newRow("Arabic digits in the locale") << QStringLiteral("ar_EG.UTF-8");
    }

    void watchModeRecordsAndStartsAtOnce()
    {
        QFETCH(QString, locale);
        QTemporaryDir work;
        StandinFolder folder;
        const QString name = support::uniqueName(QStringLiteral("Quill"));
        const QString report = folder.path() + QStringLiteral("/report.txt");
        configure(work, folder.add(name));

        // Whatever fails below, the stand-in the watchdog starts is ended.
        const auto endStandin = qScopeGuard([&name] { terminateProcesses(name); });
        QProcess watchdog;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("STANDIN_REPORT"), report);
        env.insert(QStringLiteral("LC_ALL"), locale);
        if (!hasLocale(locale)) {
            // Made here when the system lacks it, as localedef allows without root.
            const QString made = work.filePath(QStringLiteral("locales"));
            QDir().mkpath(made);
            const QString language = locale.section(QLatin1Char('.'), 0, 0);
            if (QProcess::execute(QStringLiteral("localedef"),
                                  {QStringLiteral("-i"), language, QStringLiteral("-f"), QStringLiteral("UTF-8"),
                                   made + QLatin1Char('/') + locale}) != 0)
                QSKIP("the locale is missing and localedef can't make it (install the locales package)");
            env.insert(QStringLiteral("LOCPATH"), made);
        }
        watchdog.setProcessEnvironment(env);
        watchdog.setWorkingDirectory(work.path());
        watchdog.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        watchdog.start(QStringLiteral(WATCHDOG_PATH), QStringList());
        QVERIFY(watchdog.waitForStarted());

        const QString log = work.filePath(QStringLiteral("restart_vortelin_recored.txt"));
        QVERIFY(support::waitUntil([&] { return !support::reportLines(report).isEmpty(); }));
        QThread::msleep(300);
        const QStringList records = QString::fromUtf8(support::readFile(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(records.size(), 1);
        // ASCII digits, as "yyyy-MM-dd hh:mm:ss" is read everywhere, whatever the locale.
        const QRegularExpression stamp(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\|"));
        QVERIFY2(stamp.match(records[0]).hasMatch(), qPrintable(records[0]));
        QVERIFY(records[0].endsWith(QLatin1Char('|') + name + QStringLiteral("|restart")));
        const QStringList started = support::reportLines(report);
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0].section(QLatin1Char(' '), 1), QStringLiteral("command"));
        QCOMPARE(watchdog.state(), QProcess::Running);
        // The stand-in's output goes where the watchdog's own goes.
        const QByteArray greeting = (name + QStringLiteral(": started with \"command\"\n")).toUtf8();
        QByteArray output;
        QVERIFY(support::waitUntil([&] {
            watchdog.waitForReadyRead(10);
            output += watchdog.readAll();
            return output.size() >= greeting.size();
        }));
        QCOMPARE(output, greeting);

        watchdog.kill();
        QVERIFY(watchdog.waitForFinished());
        const pid_t standin = pid_t(started[0].section(QLatin1Char(' '), 0, 0).toInt());
        terminateProcesses(name);
        QVERIFY(support::waitUntil([&] { return waitpid(standin, nullptr, WNOHANG) == standin; }));
    }

    void watchModeReplacesAnInstanceItDidNotStartWhenItEnds()
    {
        QTemporaryDir work;
        StandinFolder folder;
        const QString name = support::uniqueName(QStringLiteral("Outside"));
        const QString report = folder.path() + QStringLiteral("/report.txt");
        const QString log = work.filePath(QStringLiteral("restart_vortelin_recored.txt"));
        configure(work, folder.add(name));
        const auto endStandin = qScopeGuard([&name] { terminateProcesses(name); });
        const pid_t outside = folder.spawn(folder.path() + QLatin1Char('/') + name, {},
                                           {QStringLiteral("STANDIN_REPORT=") + report});
        QVERIFY(support::waitUntil([&] { return !support::reportLines(report).isEmpty(); }));
        QProcess watchdog;
        QVERIFY(startWatchdog(watchdog, work, report));
        const auto endWatchdog = qScopeGuard([&watchdog] {
            watchdog.kill();
            watchdog.waitForFinished();
        });
        QThread::msleep(1000);
        QVERIFY(!QFile::exists(log));

        folder.end(outside);
        QVERIFY(support::waitUntil([&] { return support::reportLines(report).size() == 2; }));
        QCOMPARE(support::reportLines(report)[1].section(QLatin1Char(' '), 1), QStringLiteral("command"));
        QCOMPARE(support::readFile(log).count("|restart\n"), 1);
    }

    void firstStartWithNothingConfiguredAsksForTheProgram()
    {
        support::XServer x;
        QVERIFY2(!x.display().isEmpty(), qPrintable(x.error()));
        QTemporaryDir work;
        QProcess watchdog;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(x.display()));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        QVERIFY(startWatchdog(watchdog, work, work.filePath(QStringLiteral("report.txt")), env));
        const auto endWatchdog = qScopeGuard([&watchdog] {
            watchdog.kill();
            watchdog.waitForFinished();
        });
        const pid_t pid = pid_t(watchdog.processId());
        const unsigned long dialog = x.waitForWindow(pid, "选择程序", 20000);
        QVERIFY2(dialog, "no file dialog: not in selection mode");

        // Cancelled, it stores and records nothing, and runs until its window is closed.
        QVERIFY(x.close(dialog));
        QVERIFY(support::waitUntil([&] { return !x.waitForWindow(pid, "选择程序", 0); }));
        QVERIFY(x.close(x.waitForWindow(pid, "Tallowbrecken_VRTN", 20000)));
        QVERIFY(watchdog.waitForFinished(30000));
        QCOMPARE(watchdog.exitCode(), 0);
        QVERIFY(!QFile::exists(work.filePath(QStringLiteral("restart_vortelin_recored.txt"))));
        QSettings settings(work.filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
        QVERIFY(!settings.contains(QStringLiteral("VORTELIN_PATH")));
    }

    void closingTheWindowEndsOnlyTheWatchdog_data()
    {
        QTest::addColumn<bool>("outsideInstance");
        QTest::newRow("during the hold") << false;
        QTest::newRow("waiting on an instance it didn't start") << true;
    }

    void closingTheWindowEndsOnlyTheWatchdog()
    {
        // As a window manager closes it (close button, Alt+F4), under a real X server.
        QFETCH(bool, outsideInstance);
        support::XServer x;
        QVERIFY2(!x.display().isEmpty(), qPrintable(x.error()));
        QTemporaryDir work;
        StandinFolder folder;
        const QString name = support::uniqueName(QStringLiteral("Closed"));
        const QString report = folder.path() + QStringLiteral("/report.txt");
        const QString log = work.filePath(QStringLiteral("restart_vortelin_recored.txt"));
        configure(work, folder.add(name));
        const auto endStandin = qScopeGuard([&name] { terminateProcesses(name); });
        if (outsideInstance) {
            folder.spawn(folder.path() + QLatin1Char('/') + name, {}, {QStringLiteral("STANDIN_REPORT=") + report});
            QVERIFY(support::waitUntil([&] { return !support::reportLines(report).isEmpty(); }));
        }

        QProcess watchdog;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(x.display()));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        QVERIFY(startWatchdog(watchdog, work, report, env));
        // Shown once its first pass is done.
        const unsigned long window = x.waitForWindow(pid_t(watchdog.processId()), "Tallowbrecken_VRTN", 20000);
        QVERIFY(window);
        QVERIFY(support::waitUntil([&] { return !support::reportLines(report).isEmpty(); }));
        QThread::msleep(500);
        const QByteArray records = support::readFile(log);
        QCOMPARE(records.count('\n'), outsideInstance ? 0 : 1);
        const QStringList started = support::reportLines(report);
        QCOMPARE(started.size(), 1);
        const pid_t program = pid_t(started[0].section(QLatin1Char(' '), 0, 0).toInt());

        QVERIFY(x.close(window));
        // A deadline, not a speed: LeakSanitizer's scan at exit alone takes
        // seconds on a busy machine.
        constexpr int closeMs = 30000;
        QVERIFY2(watchdog.waitForFinished(closeMs), qPrintable(QStringLiteral("still running %1 ms after its window was closed").arg(closeMs)));
        QCOMPARE(watchdog.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watchdog.exitCode(), 0);
        QVERIFY(support::isAlive(program));
        QCOMPARE(support::readFile(log), records);
        QCOMPARE(support::reportLines(report).size(), 1);

        terminateProcesses(name);
        // The one it started came to this process (a subreaper) when it ended.
        if (!outsideInstance)
            QVERIFY(support::waitUntil([&] { return waitpid(program, nullptr, WNOHANG) == program; }));
    }
};

QTEST_MAIN(TestProgram)
#include "tst_program.moc"
