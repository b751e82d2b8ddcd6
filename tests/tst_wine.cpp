#include "processkill.h"
#include "processprobe.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>

using support::StandinFolder;

namespace {

bool running(const QString &name)
{
    return isProcessRunning(name.toUtf8().constData()) == 1;
}

} // namespace

// Windows programs run by Wine on Linux: Wine's loader is their executable, and
// their first argument is the path Wine was given, a Windows one or a Unix one.
class TestWine : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_prefixDir;

private slots:
    void initTestCase()
    {
        if (QByteArray(WINE_PROGRAM_PATH).isEmpty())
            QSKIP("needs x86_64-w64-mingw32-gcc and wine64 (test.sh installs them)");
        // `wine start` leaves the program to us: adopt it so that it is reaped here.
        QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        // A private prefix, no display, nothing installed into it, no noise.
        qputenv("WINEPREFIX", QFile::encodeName(m_prefixDir.path()));
        qputenv("WINEDEBUG", "-all");
        qputenv("WINEDLLOVERRIDES", "mscoree,mshtml,winemenubuilder.exe=");
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        // wineboot would copy some 1.3 GB of DLLs into the prefix, for half a
        // minute. Links to Wine's own DLLs run a program just the same, and
        // "disable" stops Wine from updating the prefix on first use.
        const QDir prefix(m_prefixDir.path());
        QVERIFY(prefix.mkpath(QStringLiteral("drive_c/windows/system32")));
        // Wine's server makes a folder of its own in the temporary folder: in
        // the prefix's, it goes with it.
        QVERIFY(prefix.mkpath(QStringLiteral("tmp")));
        qputenv("TMPDIR", QFile::encodeName(prefix.filePath(QStringLiteral("tmp"))));
        const QDir dlls(QStringLiteral(WINE_DLL_DIR));
        for (const QString &dll : dlls.entryList(QDir::Files))
            QVERIFY(QFile::link(dlls.filePath(dll), prefix.filePath(QStringLiteral("drive_c/windows/system32/") + dll)));
        QFile timestamp(prefix.filePath(QStringLiteral(".update-timestamp")));
        QVERIFY(timestamp.open(QIODevice::WriteOnly));
        timestamp.write("disable\n");
    }

    void cleanupTestCase()
    {
        if (QByteArray(WINE_PROGRAM_PATH).isEmpty())
            return;
        // Every Wine process of the prefix, the services included, ends with its server.
        QProcess::execute(QStringLiteral(WINESERVER_PATH), QStringList{QStringLiteral("-k")});
        QVERIFY(support::waitUntil([] { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }));
    }

    void windowsProgramsAreFoundAndEnded_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("startedBy");
        QTest::newRow("Windows path") << support::uniqueName(QStringLiteral("Wine")) << QStringLiteral("Windows path");
        QTest::newRow("Windows path, name under 15 bytes")
            << QStringLiteral("w%1.exe").arg(QRandomGenerator::global()->bounded(1000000)) << QStringLiteral("Windows path");
        QTest::newRow("Unix path") << support::uniqueName(QStringLiteral("Wine")) << QStringLiteral("Unix path");
        QTest::newRow("wine start") << support::uniqueName(QStringLiteral("Wine")) << QStringLiteral("wine start");
    }

    void windowsProgramsAreFoundAndEnded()
    {
        QFETCH(QString, name);
        QFETCH(QString, startedBy);
        StandinFolder folder;
        const QString unixPath = folder.path() + QLatin1Char('/') + name;
        QVERIFY(QFile::copy(QStringLiteral(WINE_PROGRAM_PATH), unixPath));
        // Wine's drive Z: is the root directory.
        const QString windowsPath = QStringLiteral("Z:") + QString(unixPath).replace(QLatin1Char('/'), QLatin1Char('\\'));
        QStringList args{startedBy == QLatin1String("Unix path") ? unixPath : windowsPath};
        if (startedBy == QLatin1String("wine start"))
            args.prepend(QStringLiteral("start"));
        const pid_t wine = folder.spawn(QStringLiteral(WINE64_PATH), args);
        // Wine starts slowly on a busy machine: a deadline, not a speed.
        QVERIFY2(support::waitUntil([&] { return running(name); }, 120000),
                 support::processState(wine) == 'Z' ? "not found running; its launcher has ended"
                                                    : "not found running; its launcher still runs");

        // Found by the wait too, which waits on it while it runs.
        ProcessWatcher watcher;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(watcher.waitForEnd(name.toUtf8().constData(), 300));
        QVERIFY(timer.elapsed() >= 290);

        terminateProcesses(name);
        QVERIFY(!running(name));
        QVERIFY(!watcher.waitForEnd(name.toUtf8().constData(), 0));
        // `wine start` has ended by itself; the others were the program.
        QVERIFY(folder.reap(wine));
    }
};

QTEST_MAIN(TestWine)
#include "tst_wine.moc"
