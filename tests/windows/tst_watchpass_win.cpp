// The watch pass on Windows against real processes, run under Wine. Copies of
// probe_helper.exe stand in for the watched program in a working directory of
// their own and report how they were started. This program and all it starts
// share a job that ends them all when it ends.
#include "processprobe.h"
#include "support_win.h"
#include "watchdog.h"

#include <QtTest>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

using support::hasEnded;
using support::isRunning;
using support::waitUntil;
using watchdog::Pass;

namespace {

const QString kLog = QStringLiteral("restart_vortelin_recored.txt");

// Bytes in the ANSI code page, converted as Windows converts them.
QByteArray ansi(const QString &text)
{
    const std::wstring wide = text.toStdWString();
    const int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    QByteArray bytes(length, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
}

// What a helper wrote on starting.
struct Report
{
    DWORD pid = 0;
    QString path;
    QStringList arguments;
};

} // namespace

class TestWatchPassWin : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<support::ProcessJob> m_job;
    QString m_helper;
    QString m_previousDir;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_reports;
    QString m_tag;
    QString m_name;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<ProcessWatcher> m_watcher;
    std::vector<HANDLE> m_started;
    QStringList m_planted;

    QString named(const QString &pattern) const { return QString(pattern).replace(QLatin1String("%1"), m_tag); }

    void configure(const QString &path) { m_settings->setValue(QStringLiteral("VORTELIN_PATH"), path); }

    Pass pass(unsigned long holdMs, unsigned long pollMs = watchdog::kPollMs)
    {
        return watchdog::watchPass(*m_settings, *m_watcher, holdMs, pollMs);
    }

    // A copy of the helper called `fileName` in `dir` (the working directory by default).
    QString copyHelper(const QString &fileName, QString dir = QString())
    {
        if (dir.isEmpty())
            dir = m_work->path();
        const QString path = dir + QLatin1Char('/') + fileName;
        if (!QFile::exists(path) && !QFile::copy(m_helper, path))
            return QString();
        return path;
    }

    // Starts a copy of the helper, in the working directory or in a folder
    // `elsewhere` (where a name differing only in case is a file of its own);
    // its process handle, or nullptr.
    HANDLE start(const QString &fileName, bool elsewhere = false)
    {
        const QString dir = m_work->filePath(QStringLiteral("elsewhere"));
        if (elsewhere && !QDir().mkpath(dir))
            return nullptr;
        const QString path = copyHelper(fileName, elsewhere ? dir : QString());
        const HANDLE process = path.isEmpty() ? nullptr : support::startProgram(path, QStringLiteral("60"));
        if (process)
            m_started.push_back(process);
        return process;
    }

    // The reports of the helpers run as `fileName`.
    QList<Report> reports(const QString &fileName) const
    {
        QDir dir(m_reports);
        QList<Report> found;
        const QFileInfoList files = dir.entryInfoList({fileName + QStringLiteral("-*.txt")}, QDir::Files);
        for (const QFileInfo &info : files) {
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
            lines.removeLast();
            if (lines.size() < 2 || QFileInfo(lines[1]).fileName() != fileName)
                continue;
            found.append({DWORD(lines[0].toULong()), lines[1], lines.mid(2)});
        }
        return found;
    }

    // The instances that a pass started: the helpers started with "command".
    QList<Report> startedByPass(const QString &fileName) const
    {
        QList<Report> found = reports(fileName);
        found.erase(std::remove_if(found.begin(), found.end(),
                                   [](const Report &report) {
                                       return report.arguments != QStringList{QStringLiteral("command")};
                                   }),
                    found.end());
        return found;
    }

    QByteArray log() const
    {
        QFile file(m_work->filePath(kLog));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // One record as the pass writes it, but for its time.
    static QByteArray recordFor(const QString &name) { return '|' + ansi(name) + "|restart\r\n"; }

    // The log's lines, each checked for its time stamp and its CR LF.
    QList<QByteArray> records() const
    {
        const QByteArray bytes = log();
        QList<QByteArray> lines;
        const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\|"));
        for (int start = 0; start < bytes.size();) {
            const int end = bytes.indexOf("\r\n", start);
            const QByteArray line = bytes.mid(start, end < 0 ? -1 : end + 2 - start);
            [&] {
                QVERIFY2(end >= 0 && line.indexOf('\n') == line.size() - 1, line.toPercentEncoding(" |:-").constData());
                QVERIFY2(stamp.match(QString::fromLatin1(line)).hasMatch(), line.constData());
            }();
            lines.append(line);
            start += line.size();
        }
        return lines;
    }

private slots:
    void initTestCase()
    {
        // Whatever this program starts ends with it, however it ends.
        m_job = std::make_unique<support::ProcessJob>();
        QVERIFY(m_job->isJoined());
        QCOMPARE(m_job->processesStarted(), DWORD(1));

        m_helper = QCoreApplication::applicationDirPath() + QStringLiteral("/probe_helper.exe");
        QVERIFY(QFile::exists(m_helper));
        // A planted copy that a run cut short left beside this program.
        QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/taskkill.exe"));
        qputenv("WATCHDOG_HELPER_SECONDS", "60");
    }

    void init()
    {
        m_previousDir = QDir::currentPath();
        m_work = std::make_unique<QTemporaryDir>();
        QVERIFY(m_work->isValid());
        QVERIFY(QDir::setCurrent(m_work->path()));
        m_reports = m_work->filePath(QStringLiteral("reports"));
        QVERIFY(QDir().mkdir(m_reports));
        qputenv("WATCHDOG_HELPER_REPORTS", QDir::toNativeSeparators(m_reports).toUtf8());
        m_tag = support::uniqueTag();
        m_name = named(QStringLiteral("Watched-%1.exe"));
        QVERIFY(!copyHelper(m_name).isEmpty());
        m_settings = std::make_unique<QSettings>(m_work->filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
        // The directory part plays no part: the program is found by its bare name.
        configure(QStringLiteral("D:/elsewhere/") + m_name);
        m_watcher = std::make_unique<ProcessWatcher>();
    }

    void cleanup()
    {
        m_watcher.reset();
        m_job->endOthers();
        for (HANDLE process : m_started)
            CloseHandle(process);
        m_started.clear();
        for (const QString &file : m_planted)
            QFile::remove(file);
        m_planted.clear();
        m_settings.reset();
        QVERIFY(QDir::setCurrent(m_previousDir));
        m_work.reset();
    }

    void passRecordsStartsHoldsAndEnds()
    {
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(pass(500), Pass::Restarted);
        QVERIFY(timer.elapsed() >= 450);
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        const QList<QByteArray> first = records();
        QCOMPARE(first.size(), 1);
        QCOMPARE(first[0].mid(19), recordFor(m_name));
        const QDateTime stamp = QDateTime::fromString(QString::fromLatin1(first[0].left(19)), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(stamp >= before && stamp <= after);

        // Found by its bare name in the working directory, started with the one argument, ended.
        const QList<Report> started = reports(m_name);
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0].arguments, QStringList{QStringLiteral("command")});
        QCOMPARE(QDir::fromNativeSeparators(started[0].path).toLower(), m_work->filePath(m_name).toLower());
        QVERIFY(!isRunning(started[0].pid));

        // The next pass finds none and starts it again; the first line stays.
        QCOMPARE(pass(300), Pass::Restarted);
        QCOMPARE(records().size(), 2);
        QVERIFY(log().startsWith(first[0]));
        QCOMPARE(reports(m_name).size(), 2);
    }

    void holdEndsEveryInstanceOfThatNameOnly_data()
    {
        QTest::addColumn<QString>("watched");
        QTest::addColumn<QString>("other");
        QTest::addColumn<bool>("ended");
        QTest::newRow("same name is ended") << QStringLiteral("Watched-%1.exe") << QStringLiteral("Watched-%1.exe") << true;
        QTest::newRow("upper case is ended") << QStringLiteral("Watched-%1.exe") << QStringLiteral("WATCHED-%1.EXE") << true;
        QTest::newRow("lower case is ended") << QStringLiteral("Watched-%1.exe") << QStringLiteral("watched-%1.exe") << true;
        // Wine's taskkill folds the case of ASCII letters only: a non-ASCII name in
        // another case is found running (below) but its end is left to Windows.
        QTest::newRow("non-ASCII in same case is ended") << QString::fromUtf8("Ünï-%1.exe") << QString::fromUtf8("Ünï-%1.exe") << true;
        QTest::newRow("spaces, same name, is ended") << QStringLiteral("Quill barrow %1.exe") << QStringLiteral("Quill barrow %1.exe") << true;
        QTest::newRow("longer name survives") << QStringLiteral("Watched-%1.exe") << QStringLiteral("Watched-%1.exe.exe") << false;
        QTest::newRow("shorter name survives") << QStringLiteral("Watched-%1.exe") << QStringLiteral("atched-%1.exe") << false;
        QTest::newRow("one letter else survives") << QStringLiteral("Watched-%1.exe") << QStringLiteral("Watcher-%1.exe") << false;
    }

    void holdEndsEveryInstanceOfThatNameOnly()
    {
        // Started during the hold, not by the pass: only the terminate can end it.
        QFETCH(QString, watched);
        QFETCH(QString, other);
        QFETCH(bool, ended);
        configure(QStringLiteral("C:/apps/") + named(watched));
        QVERIFY(!copyHelper(named(watched)).isEmpty());
        HANDLE instance = nullptr;
        {
            support::Later starter(0, [&] {
                // Once the pass has recorded, it holds: a start before that would be found running.
                for (int waited = 0; waited < 10000 && records().isEmpty(); waited += 20)
                    Sleep(20);
                instance = start(named(other), true);
            });
            QVERIFY(starter.isStarted());
            QCOMPARE(pass(1500), Pass::Restarted);
        }
        QVERIFY(instance);
        QVERIFY(reports(named(other)).size() >= 1);
        QCOMPARE(hasEnded(instance, ended ? 5000 : 0), ended);
        const QList<Report> started = startedByPass(named(watched));
        QCOMPARE(started.size(), 1);
        QVERIFY(!isRunning(started[0].pid));
    }

    void runningInstanceMeansNoRecordAndNoStart_data()
    {
        QTest::addColumn<QString>("watched");
        QTest::addColumn<QString>("running");
        QTest::newRow("same name") << QStringLiteral("Watched-%1.exe") << QStringLiteral("Watched-%1.exe");
        QTest::newRow("other case") << QStringLiteral("Watched-%1.exe") << QStringLiteral("wATCHED-%1.Exe");
        QTest::newRow("non-ASCII in other case") << QString::fromUtf8("Ünï-名前-%1.exe") << QString::fromUtf8("üNÏ-名前-%1.exe");
    }

    void runningInstanceMeansNoRecordAndNoStart()
    {
        QFETCH(QString, watched);
        QFETCH(QString, running);
        configure(QStringLiteral("C:/apps/") + named(watched));
        QVERIFY(!copyHelper(named(watched)).isEmpty());
        const HANDLE instance = start(named(running), true);
        QVERIFY(instance);
        QVERIFY(waitUntil([&] { return reports(named(running)).size() == 1; }));
        const DWORD before = m_job->processesStarted();
        QCOMPARE(pass(100, 10), Pass::FoundRunning);
        QVERIFY(!QFile::exists(kLog));
        QCOMPARE(m_job->processesStarted(), before);
        QVERIFY(!hasEnded(instance));
    }

    void passWaitsOnTheInstanceItFound()
    {
        const HANDLE instance = start(m_name);
        QVERIFY(instance);
        QVERIFY(waitUntil([&] { return reports(m_name).size() == 1; }));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(pass(100, 300), Pass::FoundRunning);
        QVERIFY(timer.elapsed() >= support::coarseEarliest(300));
        // The same instance again: still running, not restarted, nothing recorded.
        QCOMPARE(pass(100, 300), Pass::FoundRunning);
        QVERIFY(!hasEnded(instance));
        QCOMPARE(reports(m_name).size(), 1);
        QVERIFY(!QFile::exists(kLog));

        // Its end wakes the pass long before the wait runs out; the next pass restarts it.
        timer.restart();
        {
            support::Later killer(300, [&] { TerminateProcess(instance, 1); });
            QVERIFY(killer.isStarted());
            QCOMPARE(pass(100, 30000), Pass::FoundRunning);
        }
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(hasEnded(instance));
        QCOMPARE(pass(300), Pass::Restarted);
        QCOMPARE(records().size(), 1);
        QCOMPARE(reports(m_name).size(), 2);
        QCOMPARE(startedByPass(m_name).size(), 1);
    }

    void missingProgramIsRecordedAndThePassGoesOn()
    {
        QVERIFY(QFile::remove(m_name));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(pass(500), Pass::Restarted);
        QVERIFY(timer.elapsed() >= 450);
        QCOMPARE(pass(100), Pass::Restarted);
        const QList<QByteArray> lines = records();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[1].mid(19), recordFor(m_name));
        QVERIFY(reports(m_name).isEmpty());
    }

    void namesAreRecordedStartedAndEnded_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("spaces") << QStringLiteral("Quill barrow %1.exe");
        QTest::newRow("non-ASCII") << QString::fromUtf8("Ünï-名前-%1.exe");
        QTest::newRow("spaces and non-ASCII") << QString::fromUtf8("选择 程序 %1.exe");
        QTest::newRow("leading space") << QStringLiteral(" Watched-%1.exe");
    }

    void namesAreRecordedStartedAndEnded()
    {
        QFETCH(QString, name);
        name = named(name);
        QVERIFY(!copyHelper(name).isEmpty());
        configure(QStringLiteral("C:/Program Files/") + name);
        QCOMPARE(pass(500), Pass::Restarted);
        const QList<QByteArray> lines = records();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines[0].mid(19), recordFor(name));
        const QList<Report> started = reports(name);
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0].arguments, QStringList{QStringLiteral("command")});
        QVERIFY(!isRunning(started[0].pid));
    }

    void restartRecordIsInTheAnsiCodePage_data()
    {
        // CTest runs this under code page 1252 and again under 936.
        QTest::addColumn<QString>("name");
        QTest::newRow("Latin letters") << QString::fromUtf8("Ünïcödé.exe");
        QTest::newRow("CJK") << QString::fromUtf8("选择程序.exe");
        QTest::newRow("both") << QString::fromUtf8("Quill Ü 名前.exe");
    }

    void restartRecordIsInTheAnsiCodePage()
    {
        QFETCH(QString, name);
        qInfo("ANSI code page %u", GetACP());
        QVERIFY(GetACP() != CP_UTF8);
        QVERIFY(ansi(name) != name.toUtf8());
        watchdog::appendRestartRecord(name);
        watchdog::appendRestartRecord(name);
        const QList<QByteArray> lines = records();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0].mid(19), recordFor(name));
        QCOMPARE(lines[1].mid(19), recordFor(name));
    }

    void plantedTaskkillIsNeverRun_data()
    {
        QTest::addColumn<bool>("besideThisProgram");
        QTest::newRow("in the working directory") << false;
        QTest::newRow("beside this program") << true;
    }

    void plantedTaskkillIsNeverRun()
    {
        // Windows looks for a bare name in the program's folder and the working
        // directory before the system folder.
        QFETCH(bool, besideThisProgram);
        const QString planted = copyHelper(QStringLiteral("taskkill.exe"),
                                           besideThisProgram ? QCoreApplication::applicationDirPath() : QString());
        QVERIFY(!planted.isEmpty());
        m_planted << planted;
        QCOMPARE(pass(300), Pass::Restarted);
        QVERIFY(reports(QStringLiteral("taskkill.exe")).isEmpty());
        // The system's taskkill ran instead.
        const QList<Report> started = startedByPass(m_name);
        QCOMPARE(started.size(), 1);
        QVERIFY(!isRunning(started[0].pid));
    }

    void unsafeNamesEndNothing_data()
    {
        QTest::addColumn<QString>("name");
        // taskkill reads "*" and "?" as wildcards; no file name holds them, "\" or NUL.
        QTest::newRow("star") << QStringLiteral("*");
        QTest::newRow("question mark") << QStringLiteral("Watch?d-%1.exe");
        QTest::newRow("backslash") << QStringLiteral("sub\\Watched-%1.exe");
        QTest::newRow("empty") << QStringLiteral("");
        QTest::newRow("NUL") << QStringLiteral("Other-%1.exe") + QChar(0) + QStringLiteral("Watched-%1.exe");
    }

    void unsafeNamesEndNothing()
    {
        // Nothing of such a name can be started, so the pass starts no process at all.
        QFETCH(QString, name);
        name = named(name);
        const HANDLE bystander = start(m_name);
        QVERIFY(bystander);
        QVERIFY(waitUntil([&] { return reports(m_name).size() == 1; }));
        // Cut at a NUL, the name would start the program named by its first part: one lies here.
        if (name.contains(QChar(0)))
            QVERIFY(!copyHelper(name.section(QChar(0), 0, 0)).isEmpty());
        configure(QStringLiteral("C:/apps/") + name);
        const DWORD before = m_job->processesStarted();
        QCOMPARE(pass(300), Pass::Restarted);
        QCOMPARE(m_job->processesStarted() - before, DWORD(0));
        QVERIFY(!hasEnded(bystander));
        QCOMPARE(records().size(), 1);
    }

    void concurrentWritersKeepEveryLine()
    {
        // Two watchdogs may share a log: each record must land whole at its end.
        if (support::runsUnderWine())
            QSKIP("Wine appends through an append-only handle by seeking to the end first, so even plain "
                  "WriteFile calls from two processes overwrite each other there");
        const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/append_records.exe");
        const QString big(2000, QLatin1Char('b'));
        const QString small = QStringLiteral("s");
        const int count = 400;
        QProcess first, second;
        for (QProcess *writer : {&first, &second})
            writer->setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(program, {big, QString::number(count)});
        second.start(program, {small, QString::number(count)});
        QVERIFY(first.waitForFinished(120000) && second.waitForFinished(120000));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(second.exitCode(), 0);

        const QList<QByteArray> lines = records();
        QCOMPARE(lines.size(), 2 * count);
        int bigLines = 0, smallLines = 0;
        for (const QByteArray &line : lines) {
            const QByteArray tail = line.mid(19);
            bigLines += tail == recordFor(big);
            smallLines += tail == recordFor(small);
        }
        QCOMPARE(bigLines, count);
        QCOMPARE(smallLines, count);
    }
};

QTEST_GUILESS_MAIN(TestWatchPassWin)
#include "tst_watchpass_win.moc"
