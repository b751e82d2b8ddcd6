#include "processprobe.h"

#include "procscan_linux.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

int isProcessRunning(const char *name)
{
    const std::string_view wanted(name ? name : "");
    if (!procscan::isPlainFileName(wanted))
        return 0;
    procscan::ProcDir proc;
    if (!proc.isOpen())
        return 0;
    while (const char *pid = proc.next()) {
        if (procscan::matches(proc.fd(), pid, wanted))
            return 1;
    }
    return 0;
}

namespace {

// The process the last wait was for. Scanning the whole table costs far more
// than the wait (every process's exe link and kernel name, caches cold after a
// second asleep), so while that one runs under the name it is waited on again.
struct Waited
{
    std::string name;
    std::string pid;
    int pidfd = -1;

    ~Waited() { forget(); }
    void forget()
    {
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
};

thread_local Waited lastWaited;

} // namespace

bool waitForProcessEnd(const char *name, unsigned timeoutMs)
{
    const std::string_view wanted(name ? name : "");
    if (!procscan::isPlainFileName(wanted))
        return false;
    procscan::ProcDir proc;
    if (!proc.isOpen())
        return false;
    Waited &waited = lastWaited;
    if (!waited.stillRuns(proc.fd(), wanted)) {
        waited.forget();
        bool runsUnwaitable = false;
        while (const char *pid = proc.next()) {
            if (!procscan::matches(proc.fd(), pid, wanted))
                continue;
            const int pidfd = procscan::openMatching(proc.fd(), pid, wanted);
            if (pidfd >= 0) {
                waited.name = wanted;
                waited.pid = pid;
                waited.pidfd = pidfd;
                break;
            }
            // Still there, yet no handle on it (out of descriptors, say).
            runsUnwaitable = runsUnwaitable || procscan::matches(proc.fd(), pid, wanted);
        }
        if (waited.pidfd < 0) {
            if (runsUnwaitable)
                poll(nullptr, 0, int(timeoutMs));
            return runsUnwaitable;
        }
    }
    pollfd ended{waited.pidfd, POLLIN, 0};
    while (poll(&ended, 1, int(timeoutMs)) < 0 && errno == EINTR) {
    }
    if (ended.revents)
        waited.forget();
    return true;
}
