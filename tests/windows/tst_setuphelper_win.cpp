// The installer helper's decisions, under Wine: its folder forms and
// comparisons against real folders, which watchdogs it starts again, and
// the exit code it leaves.
#include "setupdecisions.h"

#include <QtTest>

#include <windows.h>

namespace {

std::wstring wide(const QString &text)
{
    return text.toStdWString();
}

} // namespace

class SetupHelperTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::wstring m_long;  // a folder with a long name, absolute
    std::wstring m_short; // its 8.3 form

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir(m_dir.path()).mkpath("Long Folder Name/platforms"));
        m_long = wide(QDir::toNativeSeparators(m_dir.path() + "/Long Folder Name"));
        m_short.resize(32768);
        m_short.resize(GetShortPathNameW(m_long.c_str(), &m_short[0], DWORD(m_short.size())));
        QVERIFY2(!m_short.empty() && m_short != m_long, "no 8.3 form");
    }

    void trailingSeparators_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("aDriveRootKeepsItsSeparator") << "C:\\" << "C:\\";
        QTest::newRow("aDriveRootKeepsOneOfMany") << "C:\\\\" << "C:\\";
        QTest::newRow("anExtendedDriveRootKeepsIt") << "\\\\?\\C:\\" << "\\\\?\\C:\\";
        QTest::newRow("aFolderLosesThemAll") << "C:\\Tools\\/" << "C:\\Tools";
        QTest::newRow("aShareLosesIt") << "\\\\server\\share\\" << "\\\\server\\share";
    }
    void trailingSeparators()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdWString(setup::withoutTrailingSeparators(wide(path))), expected);
        // What the watchdog is started as, from its folder.
        QCOMPARE(QString::fromStdWString(setup::joined(setup::withoutTrailingSeparators(wide(path)), L"watchdog.exe")),
                 expected + (expected.endsWith('\\') ? "" : "\\") + "watchdog.exe");
    }

    void sameFolder_data()
    {
        QTest::addColumn<QString>("other");
        QTest::addColumn<bool>("same");
        const QString folder = QString::fromStdWString(m_long);
        QTest::newRow("itself") << folder << true;
        QTest::newRow("caseIsIgnored") << folder.toUpper() << true;
        QTest::newRow("trailingAndForwardSeparators") << QString(folder).replace('\\', '/') + "//" << true;
        QTest::newRow("its8.3Form") << QString::fromStdWString(m_short) << true;
        QTest::newRow("throughItsParent") << folder + "\\platforms\\.." << true;
        QTest::newRow("aFolderInIt") << folder + "\\platforms" << false;
        QTest::newRow("aLongerNameStartingLikeIt") << folder + " 2" << false;
        QTest::newRow("nothing") << QString() << false;
    }
    void sameFolder()
    {
        QFETCH(QString, other);
        QFETCH(bool, same);
        QCOMPARE(setup::sameFolder(m_long, wide(other)), same);
    }

    void driveRootIsNotTheDrivesCurrentFolder()
    {
        // Another folder current: "C:" alone names it, "C:\" the root.
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QString::fromStdWString(m_long)));
        const std::wstring drive = m_long.substr(0, 2);
        const bool rootIsRoot = setup::canonicalFolder(drive + L"\\") == drive + L"\\";
        const bool bareIsCurrent = setup::sameFolder(drive, m_long);
        QDir::setCurrent(before);
        QVERIFY(rootIsRoot);
        QVERIFY(bareIsCurrent);
    }

    void liesIn_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("in");
        const QString folder = QString::fromStdWString(m_long);
        QTest::newRow("aDllInIt") << folder + "\\Qt5Core.dll" << true;
        QTest::newRow("aPluginInAFolderInIt") << folder + "\\platforms\\qwindows.dll" << true;
        QTest::newRow("throughIts8.3Form") << QString::fromStdWString(m_short) + "\\Qt5Core.dll" << true;
        QTest::newRow("caseIsIgnored") << folder.toLower() + "\\QT5CORE.DLL" << true;
        QTest::newRow("aFolderStartingLikeIt") << folder + " 2\\Qt5Core.dll" << false;
        QTest::newRow("itsParent") << QString::fromStdWString(setup::folderOf(m_long)) + "Qt5Core.dll" << false;
    }
    void liesIn()
    {
        QFETCH(QString, path);
        QFETCH(bool, in);
        QCOMPARE(setup::liesIn(wide(path), setup::formsOf(m_long)), in);
    }

    void notedWatchdogsComeBackAsTheyWere()
    {
        const std::vector<setup::Noted> noted{{12, 133000000000000000ull, 2, m_long + L"\\watchdog.exe", L"C:\\"},
                                              {34, 5, 0, m_short + L"\\watchdog.exe", L""}};
        // A line cut short or from elsewhere is no watchdog.
        const std::vector<setup::Noted> read =
            setup::parse(setup::line(noted[0]) + L"junk\t1\n" + setup::line(noted[1]) + L"56\t7\t1\t");
        QCOMPARE(int(read.size()), 2);
        for (std::size_t i = 0; i < read.size(); ++i) {
            QCOMPARE(read[i].pid, noted[i].pid);
            QCOMPARE(read[i].start, noted[i].start);
            QCOMPARE(read[i].session, noted[i].session);
            QVERIFY(read[i].image == noted[i].image);
            QVERIFY(read[i].folder == noted[i].folder);
        }
    }

    void onlyEndedWatchdogsFromTheFolderAreStartedAgain()
    {
        const std::vector<setup::Noted> noted{
            {1, 0, 1, m_long + L"\\watchdog.exe", L"C:\\"},          // ended
            {2, 0, 1, m_long + L"\\watchdog.exe", L"C:\\work"},     // still runs
            {3, 0, 1, m_short + L"\\watchdog.exe", L"C:\\other"},   // ended, started through the 8.3 form
            {4, 0, 2, L"C:\\elsewhere\\watchdog.exe", L"C:\\work"}, // another install's
            {5, 0, 2, m_long + L"\\watchdog.exe", L""},             // ended, its folder unknown
        };
        const std::vector<setup::Noted> chosen =
            setup::toRestart(noted, m_long + L"\\", [](const setup::Noted &each) { return each.pid == 2; });
        QStringList pids;
        for (const setup::Noted &each : chosen)
            pids << QString::number(each.pid);
        QCOMPARE(pids, QStringList({"1", "3", "5"}));
    }

    void exitCode_data()
    {
        QTest::addColumn<int>("codeSoFar");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<bool>("allStarted");
        QTest::addColumn<int>("expected");
        // -1: no code set yet.
        QTest::newRow("doneAndAllStarted") << -1 << false << true << 0;
        QTest::newRow("doneButOneNotStarted") << -1 << false << false << setup::kExitRestart;
        QTest::newRow("failedWithoutACodeIsFailed") << -1 << true << true << setup::kExitFailed;
        QTest::newRow("aFailureKeepsItsCode") << 2 << true << false << 2;
        QTest::newRow("aCancelKeepsItsCode") << 1 << true << false << 1;
    }
    void exitCode()
    {
        QFETCH(int, codeSoFar);
        QFETCH(bool, failed);
        QFETCH(bool, allStarted);
        QFETCH(int, expected);
        QCOMPARE(setup::exitCodeAfterRestart(codeSoFar, failed, allStarted), expected);
    }
};

QTEST_GUILESS_MAIN(SetupHelperTest)
#include "tst_setuphelper_win.moc"
