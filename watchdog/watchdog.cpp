#include "watchdog.h"

#include "appendfile.h"
#include "processkill.h"
#include "processprobe.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QLocale>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTextStream>
#include <QThread>

namespace watchdog {

namespace {

// As long as the terminate waits for a process that won't die.
constexpr int kChildGiveUpMs = 5000;

} // namespace

QString configuredPath(const QSettings &settings)
{
    return settings.value(QLatin1String(kPathKey), QVariant()).toString();
}

QString imageNameOf(const QString &path)
{
    return path.split(QLatin1Char('/')).last();
}

void appendRestartRecord(const QString &imageName)
{
    // The C locale's digits: Qt 5 takes the system locale's, which may not be ASCII.
    const QString stamp = QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    const QString record = stamp + QLatin1Char('|') + imageName + QLatin1String("|restart\n");
    QFile log{QLatin1String(kRestartLog)};
    if (!openForAppend(log))
        return;
    QTextStream out(&log);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 streams write UTF-8 unless told; the log has always been in the
    // locale's encoding (the ANSI code page on Windows), as Qt 5 writes it.
    out.setEncoding(QStringConverter::System);
#endif
    out << record;
}

Pass watchPass(const QSettings &settings, ProcessWatcher &watcher, unsigned long holdMs, unsigned long pollMs)
{
    const QString imageName = imageNameOf(configuredPath(settings));
    const QByteArray name = imageName.toUtf8();
    // A NUL would cut the name short, and no file name holds one: such a name is
    // never probed, started or ended (Windows would start the program named by
    // the part before it). The wait is the
    // probe too: the process list is read at most once a pass, and not at all
    // while the instance waited on before still runs. It returns as soon as that
    // one ends, or pauses if its end can't be waited for, so passes never run
    // back to back.
    if (!name.contains('\0') && watcher.waitForEnd(name.constData(), unsigned(pollMs)))
        return Pass::FoundRunning;

    appendRestartRecord(imageName);

    QProcess child;
    // Nothing reads the child's pipes, so they would fill and freeze it: share ours instead.
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setStandardInputFile(QProcess::nullDevice());
    if (!name.contains('\0'))
        child.start(imageName, QStringList{QLatin1String(kArgument)});

    QThread::msleep(holdMs);
    terminateProcesses(imageName);

    // Reap it here, whether or not the terminate reached it: no zombie, no warning.
    // With no event loop the object never learns that its child ended, and kill()
    // signals by process id, which (where Qt reaps in a SIGCHLD handler) may be
    // another process's by now: so collect an ended child first. This also reads
    // the start-up result, so a program that failed to start is NotRunning here.
    if (!child.waitForFinished(0) && child.state() != QProcess::NotRunning) {
        child.kill();
        // One that can't die (stuck in the kernel) must not stop the loop.
        child.waitForFinished(kChildGiveUpMs);
    }
    return Pass::Restarted;
}

void watchForever(const QSettings &settings)
{
    ProcessWatcher watcher;
    for (;;)
        watchPass(settings, watcher, kHoldMs);
}

int runSelectionMode(QSettings &settings)
{
    const QString path = QFileDialog::getOpenFileName(
        nullptr, QString::fromUtf8("选择程序"),
        QStringLiteral("D:/qvx/QT/build-Quillbarrow-Desktop_Qt_5_12_8_MSVC2017_32bit-Debug/debug"),
        QStringLiteral("Exe files (Quillbarrow.exe)"));
    qDebug() << path;
    if (!path.isEmpty())
        settings.setValue(QLatin1String(kPathKey), path);
    return QApplication::exec();
}

} // namespace watchdog
