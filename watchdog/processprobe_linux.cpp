#include "processprobe.h"

#include "procscan_linux.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

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

bool waitForProcessEnd(const char *name, unsigned timeoutMs)
{
    const std::string_view wanted(name ? name : "");
    if (!procscan::isPlainFileName(wanted))
        return false;
    procscan::ProcDir proc;
    if (!proc.isOpen())
        return false;
    while (const char *pid = proc.next()) {
        const int pidfd = procscan::openMatching(proc.fd(), pid, wanted);
        if (pidfd < 0)
            continue;
        pollfd ended{pidfd, POLLIN, 0};
        while (poll(&ended, 1, int(timeoutMs)) < 0 && errno == EINTR) {
        }
        close(pidfd);
        return true;
    }
    return false;
}
