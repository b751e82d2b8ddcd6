#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class ProcessWatcher;
class QProcess;
class QSettings;

namespace watchdog {

inline constexpr char kSettingsFile[] = "sys.ini";
inline constexpr char kPathKey[] = "VORTELIN_PATH";
inline constexpr char kRestartLog[] = "restart_vortelin_recored.txt";
inline constexpr char kArgument[] = "command";
// How long each started instance is left to run before it is ended and started afresh.
inline constexpr unsigned long kHoldMs = 7200000;
// The wait between passes while an instance runs whose end can't be waited for.
inline constexpr unsigned long kPollMs = 1000;

// The stored path of the watched program; empty when none is configured.
QString configuredPath(const QSettings &settings);

// The text after the last "/": the name the program is found, started and ended by.
QString imageNameOf(const QString &path);

// Appends one "yyyy-MM-dd hh:mm:ss|NAME|restart" line to the restart log.
void appendRestartRecord(const QString &imageName);

enum class Pass { FoundRunning, Restarted };

// Watch mode, in the event loop: pass after pass, each waiting there, never in
// a call. When no process of the configured name runs, a pass records, starts
// it by its bare name with "command", holds it `holdMs`, then ends every
// process of that name. Otherwise it waits on the running one, through
// `watcher`, until it ends (or, where its end can't be waited for, `pollMs`).
// Destroyed mid-pass, it ends nothing and records nothing: a program it started runs on.
class WatchLoop : public QObject
{
    Q_OBJECT

public:
    WatchLoop(const QSettings &settings, ProcessWatcher &watcher, unsigned long holdMs = kHoldMs,
              unsigned long pollMs = kPollMs);
    ~WatchLoop() override;

    // Starts a pass; passFinished() tells its end.
    void startPass();
    // Ends a wait on a running instance after `ms` too.
    void setWaitLimit(unsigned long ms) { m_waitLimitMs = long(ms); }

signals:
    void passFinished(watchdog::Pass pass);

private:
    void wait(Qt::TimerType type, unsigned long ms, std::function<void()> then);
    void endHold();
    void finish(Pass pass);

    const QSettings &m_settings;
    ProcessWatcher &m_watcher;
    const unsigned long m_holdMs;
    const unsigned long m_pollMs;
    long m_waitLimitMs = -1;
    QString m_imageName;
    QTimer m_timer{this};
    std::function<void()> m_onTimeout;
    std::unique_ptr<QProcess> m_child;
};

// One pass, run to its end in a local event loop; a running instance is
// waited on at most `pollMs`. For the tests and the benchmarks.
Pass watchPass(const QSettings &settings, ProcessWatcher &watcher, unsigned long holdMs,
               unsigned long pollMs = kPollMs);

// Watch mode: passes until the window is closed or the session ends. Returns
// the event loop's result.
int runWatchMode(const QSettings &settings);

// Selection mode: asks for the program, stores its path unless cancelled, then
// runs the event loop until the window is closed. Returns the loop's result.
int runSelectionMode(QSettings &settings);

} // namespace watchdog
