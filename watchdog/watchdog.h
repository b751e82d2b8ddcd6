#pragma once

#include <QString>

class ProcessWatcher;
class QSettings;

namespace watchdog {

inline constexpr char kSettingsFile[] = "sys.ini";
inline constexpr char kPathKey[] = "VORTELIN_PATH";
inline constexpr char kRestartLog[] = "restart_vortelin_recored.txt";
inline constexpr char kArgument[] = "command";
// How long each started instance is left to run before it is ended and started afresh.
inline constexpr unsigned long kHoldMs = 7200000;
// The longest wait between passes while an instance runs.
inline constexpr unsigned long kPollMs = 1000;

// The stored path of the watched program; empty when none is configured.
QString configuredPath(const QSettings &settings);

// The text after the last "/": the name the program is found, started and ended by.
QString imageNameOf(const QString &path);

// Appends one "yyyy-MM-dd hh:mm:ss|NAME|restart" line to the restart log.
void appendRestartRecord(const QString &imageName);

enum class Pass { FoundRunning, Restarted };

// One pass of the watch loop. When no process of the configured name runs:
// records, starts it by its bare name with "command", holds it `holdMs`, then
// ends every process of that name. Otherwise waits for the running one to end,
// at most `pollMs`, through `watcher`, which the caller keeps from pass to pass.
Pass watchPass(const QSettings &settings, ProcessWatcher &watcher, unsigned long holdMs,
               unsigned long pollMs = kPollMs);

// Watch mode: passes for ever, with one watcher for all of them.
[[noreturn]] void watchForever(const QSettings &settings);

// Selection mode: asks for the program, stores its path unless cancelled, then
// runs the event loop until the window is closed. Returns the loop's result.
int runSelectionMode(QSettings &settings);

} // namespace watchdog
