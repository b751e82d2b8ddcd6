#pragma once

// Kept free of Qt so that the platform code builds and is tested on its own;
// only the event-loop notice of an instance's end uses Qt, inside.

#include <functional>
#include <memory>

// 1 when at least one running process has exactly the executable file name
// `name` (UTF-8, no directory part), 0 otherwise, and 0 when the process list
// can't be read. Keeps nothing between calls.
int isProcessRunning(const char *name);

// Waits for the watched program's running instance to end. It keeps the
// platform's handle on the instance it waits on (a pidfd on Linux, a process
// handle on Windows) between calls, so the watch loop owns one for its life.
class ProcessWatcher
{
public:
    ProcessWatcher();
    ~ProcessWatcher();
    ProcessWatcher(const ProcessWatcher &) = delete;
    ProcessWatcher &operator=(const ProcessWatcher &) = delete;

    // Waits, at most `timeoutMs`, for one running process named `name` (as for
    // isProcessRunning) to end; true when one ran. False at once when there is
    // none. Where its end can't be waited for, it pauses the whole `timeoutMs`
    // and returns true. While the process it waits on still runs under that
    // name, the next call for the name waits on it again without reading the
    // whole process list.
    bool waitForEnd(const char *name, unsigned timeoutMs);

    enum class Found { None, Waitable, Unwaitable };
    // The same look-up for the event loop, without waiting: None when no
    // process named `name` runs; Unwaitable when one runs but its end can't be
    // waited for; Waitable when one runs and `ended` is to be called, from the
    // event loop and once, when it ends. Nothing is called after the next call,
    // cancelNotice() or the watcher's end.
    Found noticeEnd(const char *name, std::function<void()> ended);
    void cancelNotice();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
