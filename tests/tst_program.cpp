#include "processkill.h"
#include "support.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <sys/prctl.h>
#include <sys/wait.h>

using support::StandinFolder;

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The stand-in outlives the watchdog when it is killed; adopt it so it can be reaped.
        QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    void watchModeRecordsAndStartsAtOnce()
    {
        QTemporaryDir work;
        StandinFolder folder;
        const QString name = support::uniqueName(QStringLiteral("Quill"));
        const QString report = folder.path() + QStringLiteral("/report.txt");
        {
            QSettings settings(work.filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
            settings.setValue(QStringLiteral("VORTELIN_PATH"), folder.add(name));
        }

        // Whatever fails below, the stand-in the watchdog starts is ended.
        const auto endStandin = qScopeGuard([&name] { terminateProcesses(name); });
        QProcess watchdog;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("STANDIN_REPORT"), report);
        watchdog.setProcessEnvironment(env);
        watchdog.setWorkingDirectory(work.path());
        watchdog.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        watchdog.start(QStringLiteral(WATCHDOG_PATH), QStringList());
        QVERIFY(watchdog.waitForStarted());

        const QString log = work.filePath(QStringLiteral("restart_vortelin_recored.txt"));
        QVERIFY(support::waitUntil([&] { return !support::reportLines(report).isEmpty(); }, 10000));
        QThread::msleep(300);
        const QStringList records = QString::fromUtf8(support::readFile(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(records.size(), 1);
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
};

QTEST_MAIN(TestProgram)
#include "tst_program.moc"
