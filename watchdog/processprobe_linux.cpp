#include "processprobe.h"

#include "endnotice.h"
#include "processname.h"
#include "procscan_linux.h"

#include <QSocketNotifier>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// The one scan of the process table, shared by the probe and the watcher:
// whether a process named `wanted` runs. With `pidfd`, it also pins the first
// one it can and gives its id in `pid`; one it can't pin (out of descriptors,
// say) still counts as running.
bool scan(procscan::ProcDir &proc, std::string_view wanted, int *pidfd = nullptr, std::string *pid = nullptr)
{
    bool found = false;
    while (const char *entry = proc.next()) {
        if (!procscan::matches(proc.fd(), entry, wanted))
            continue;
        if (!pidfd)
            return true;
        const int fd = procscan::openMatching(proc.fd(), entry, wanted);
        if (fd >= 0) {
            *pidfd = fd;
            *pid = entry;
            return true;
        }
        // Not pinned because it ended just now, or still there without a handle.
        found = found || procscan::matches(proc.fd(), entry, wanted);
    }
    return found;
}

} // namespace

int isProcessRunning(const char *name)
{
    const std::string_view wanted(name ? name : "");
    if (!isPlainFileName(wanted))
        return 0;
    procscan::ProcDir proc;
    return proc.isOpen() && scan(proc, wanted) ? 1 : 0;
}

// The process the last wait was for. Scanning the whole table costs far more
// than the wait (every process's exe link and kernel name, caches cold after a
// second asleep), so while that one runs under the name it is waited on again.
struct ProcessWatcher::Private
{
    std::string name;
    std::string pid;
    int pidfd = -1;
    std::unique_ptr<QSocketNotifier> notice;
    // What the notice's calls run in, and which notice they belong to: one
    // cancelled, or dropped while its call waits, calls nothing.
    QObject calls;
    unsigned noticeNumber = 0;

    ~Private() { forget(); }
    void forget()
    {
        ++noticeNumber;
        notice.reset(); // before its descriptor goes
        if (pidfd >= 0)
            close(pidfd);
        pidfd = -1;
    }
    // Checked before its end is: if it still runs after, the check was about it
    // and not about a successor with its id.
    bool stillRuns(int procFd, std::string_view wanted) const
    {
        return pidfd >= 0 && name == wanted && procscan::matches(procFd, pid.c_str(), wanted)
               && !procscan::hasEnded(pidfd);
    }
    Found find(const char *wantedName)
    {
        const std::string_view wanted(wantedName ? wantedName : "");
        if (!isPlainFileName(wanted))
            return Found::None;
        procscan::ProcDir proc;
        if (!proc.isOpen())
            return Found::None;
        if (stillRuns(proc.fd(), wanted))
            return Found::Waitable;
        forget();
        if (!scan(proc, wanted, &pidfd, &pid))
            return Found::None;
        if (pidfd < 0)
            return Found::Unwaitable;
        name = wanted;
        return Found::Waitable;
    }
};

ProcessWatcher::ProcessWatcher()
    : d(std::make_unique<Private>())
{
}

ProcessWatcher::~ProcessWatcher() = default;

bool ProcessWatcher::waitForEnd(const char *name, unsigned timeoutMs)
{
    switch (d->find(name)) {
    case Found::None:
        return false;
    case Found::Unwaitable:
        poll(nullptr, 0, int(timeoutMs));
        return true;
    case Found::Waitable:
        break;
    }
    pollfd ended{d->pidfd, POLLIN, 0};
    while (poll(&ended, 1, int(timeoutMs)) < 0 && errno == EINTR) {
    }
    if (ended.revents)
        d->forget();
    return true;
}

ProcessWatcher::Found ProcessWatcher::noticeEnd(const char *name, std::function<void()> ended)
{
    cancelNotice();
    const Found found = d->find(name);
    if (found != Found::Waitable)
        return found;
    // A pidfd turns readable when its process ends, and stays so.
    d->notice = std::make_unique<QSocketNotifier>(d->pidfd, QSocketNotifier::Read);
    armEndNotice(d->notice.get(), &d->calls, d->noticeNumber, std::move(ended));
    return Found::Waitable;
}

void ProcessWatcher::cancelNotice()
{
    ++d->noticeNumber;
    d->notice.reset();
}
