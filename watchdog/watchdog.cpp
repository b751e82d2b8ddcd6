#include "watchdog.h"

#include "appendfile.h"
#include "processkill.h"
#include "processprobe.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLocale>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTextStream>

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

namespace {

// Destroying a QProcess ends its process and waits up to 30 s for it, but the
// program the watchdog started outlives it. So the object is handed to a parent
// that is never destroyed; Qt reaps the process whenever it ends, and the
// object goes then.
void letGo(std::unique_ptr<QProcess> child)
{
    static QObject *const keeper = new QObject;
    child->disconnect();
    QObject::connect(child.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), child.get(),
                     &QObject::deleteLater);
    child.release()->setParent(keeper);
}

} // namespace

WatchLoop::WatchLoop(const QSettings &settings, ProcessWatcher &watcher, unsigned long holdMs, unsigned long pollMs)
    : m_settings(settings)
    , m_watcher(watcher)
    , m_holdMs(holdMs)
    , m_pollMs(pollMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_onTimeout(); });
}

WatchLoop::~WatchLoop()
{
    m_watcher.cancelNotice();
    if (m_child && m_child->state() != QProcess::NotRunning)
        letGo(std::move(m_child));
}

void WatchLoop::startPass()
{
    m_imageName = imageNameOf(configuredPath(m_settings));
    const QByteArray name = m_imageName.toUtf8();
    // A NUL would cut the name short, and no file name holds one: such a name is
    // never probed, started or ended (Windows would start the program named by
    // the part before it). The look-up keeps the instance it found, so the
    // process list is read only when the instance changes; while one runs, the
    // pass waits on it in the event loop and nothing wakes the watchdog.
    if (!name.contains('\0')) {
        switch (m_watcher.noticeEnd(name.constData(), [this] { finish(Pass::FoundRunning); })) {
        case ProcessWatcher::Found::None:
            break;
        case ProcessWatcher::Found::Waitable:
            if (m_waitLimitMs >= 0)
                wait(Qt::CoarseTimer, m_waitLimitMs, [this] { finish(Pass::FoundRunning); });
            return;
        case ProcessWatcher::Found::Unwaitable:
            wait(Qt::CoarseTimer, m_pollMs, [this] { finish(Pass::FoundRunning); });
            return;
        }
    }

    appendRestartRecord(m_imageName);

    m_child = std::make_unique<QProcess>();
    // Nothing reads the child's pipes, so they would fill and freeze it: share ours instead.
    m_child->setProcessChannelMode(QProcess::ForwardedChannels);
    m_child->setStandardInputFile(QProcess::nullDevice());
    if (!name.contains('\0'))
        m_child->start(m_imageName, QStringList{QLatin1String(kArgument)});

    // A coarse timer may fire 5 % early or late on Unix: six minutes of a
    // two-hour hold. (On Windows the hold is a plain SetTimer timer either way.)
    wait(Qt::PreciseTimer, m_holdMs, [this] { endHold(); });
}

void WatchLoop::wait(Qt::TimerType type, unsigned long ms, std::function<void()> then)
{
    // Precise only where it matters. On Windows Qt makes a precise timer a
    // multimedia one (timeSetEvent), which keeps the whole system's timer fast,
    // but only up to the multimedia timer's longest delay (TIMECAPS.wPeriodMax,
    // typically 1,000 s): beyond it timeSetEvent refuses, and Qt falls back to
    // SetTimer, as for a coarse timer. So the two-hour hold is a SetTimer timer
    // there, while a precise 1 s poll would be a multimedia one.
    m_timer.setTimerType(type);
    m_onTimeout = std::move(then);
    m_timer.start(int(ms));
}

void WatchLoop::endHold()
{
    terminateProcesses(m_imageName);

    // Reap it here, whether or not the terminate reached it: no zombie, no warning.
    // kill() signals by process id, which (where Qt reaps in a SIGCHLD handler)
    // may be another process's by now: so collect an ended child first. This
    // also reads the start-up result, so a program that failed to start is
    // NotRunning here.
    if (!m_child->waitForFinished(0) && m_child->state() != QProcess::NotRunning) {
        m_child->kill();
        m_child->waitForFinished(kChildGiveUpMs);
    }
    // One that can't die (stuck in the kernel) must not stop the loop.
    if (m_child->state() != QProcess::NotRunning)
        letGo(std::move(m_child));
    m_child.reset();
    finish(Pass::Restarted);
}

void WatchLoop::finish(Pass pass)
{
    m_timer.stop();
    m_watcher.cancelNotice();
    emit passFinished(pass);
}

Pass watchPass(const QSettings &settings, ProcessWatcher &watcher, unsigned long holdMs, unsigned long pollMs)
{
    WatchLoop loop(settings, watcher, holdMs, pollMs);
    loop.setWaitLimit(pollMs);
    QEventLoop events;
    Pass result = Pass::FoundRunning;
    QObject::connect(&loop, &WatchLoop::passFinished, &events, [&](Pass pass) {
        result = pass;
        events.quit();
    });
    // Started from the loop, so that a pass ending at once still ends it.
    QTimer::singleShot(0, &loop, &WatchLoop::startPass);
    events.exec();
    return result;
}

int runWatchMode(const QSettings &settings)
{
    ProcessWatcher watcher;
    WatchLoop loop(settings, watcher);
    // Each pass starts from the event loop, never inside the last one.
    QObject::connect(&loop, &WatchLoop::passFinished, &loop, [&loop] {
        QMetaObject::invokeMethod(&loop, [&loop] { loop.startPass(); }, Qt::QueuedConnection);
    });
    loop.startPass();
    // Closing the window, or the session's end closing it, ends the loop and with it the watchdog.
    return QApplication::exec();
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
