#include "processkill.h"

#include "processname.h"
#include "procscan_linux.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace {

using Clock = std::chrono::steady_clock;

// A process that won't die (stuck in the kernel) must not stall the watchdog for good.
constexpr auto kGiveUpAfter = std::chrono::seconds(5);

// The processes that were sent SIGKILL: by pidfd, which polls readable once
// its process has ended, or, where the kernel has none, by id and start time.
class Victims
{
public:
    Victims() = default;
    Victims(const Victims &) = delete;
    Victims &operator=(const Victims &) = delete;
    ~Victims()
    {
        for (const pollfd &p : m_fds)
            close(p.fd);
    }

    void add(int pidfd) { m_fds.push_back({pidfd, POLLIN, 0}); }
    void add(const char *pid, unsigned long long started) { m_ids.push_back({pid, started}); }
    bool empty() const { return m_fds.empty() && m_ids.empty(); }

    // True once every one has ended, false when the deadline came first.
    bool waitUntilEnded(Clock::time_point deadline)
    {
        std::vector<pollfd> pending = m_fds;
        std::vector<ById> ids = m_ids;
        for (;;) {
            dropEnded(ids);
            if (pending.empty() && ids.empty())
                return true;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            // An id can't be waited on: it is looked at again every 10 ms.
            if (!ids.empty())
                left = std::min(left, std::chrono::milliseconds(10));
            const int ready = poll(pending.data(), nfds_t(pending.size()), int(left.count()));
            if (ready < 0 && errno != EINTR)
                return false;
            for (std::size_t i = pending.size(); i-- > 0;) {
                if (pending[i].revents)
                    pending.erase(pending.begin() + long(i));
            }
        }
    }

private:
    struct ById
    {
        std::string pid;
        unsigned long long started;
    };
    static void dropEnded(std::vector<ById> &ids)
    {
        if (ids.empty())
            return;
        procscan::ProcDir proc;
        for (std::size_t i = ids.size(); i-- > 0;) {
            // Gone, a zombie, or its id taken by another process since.
            if (!proc.isOpen() || procscan::liveStartTime(proc.fd(), ids[i].pid.c_str()) != ids[i].started)
                ids.erase(ids.begin() + long(i));
        }
    }

    std::vector<pollfd> m_fds;
    std::vector<ById> m_ids;
};

// Asked once: the kernel doesn't change while the watchdog runs.
bool pidfdsAvailable()
{
    static const bool available = [] {
        const bool yes = procscan::pidfdsAvailable();
        if (!yes)
            qWarning("watchdog: this system gives no pidfds, so processes are ended by their ids;"
                     " one that ends just then may pass its id to another, which the signal would reach");
        return yes;
    }();
    return available;
}

void killMatching(std::string_view name, Victims &victims)
{
    const pid_t self = getpid();
    const bool pidfds = pidfdsAvailable();
    procscan::ProcDir proc;
    if (!proc.isOpen())
        return;
    while (const char *pid = proc.next()) {
        if (pid_t(std::strtol(pid, nullptr, 10)) == self)
            continue;
        if (!pidfds) {
            if (const unsigned long long started = procscan::killMatchingById(proc.fd(), pid, name))
                victims.add(pid, started);
            continue;
        }
        const int pidfd = procscan::openMatching(proc.fd(), pid, name);
        if (pidfd < 0)
            continue;
        if (syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0)
            victims.add(pidfd);
        else
            close(pidfd);
    }
}

} // namespace

void terminateProcesses(const QString &imageName)
{
    const QByteArray utf8 = imageName.toUtf8();
    const std::string_view name(utf8.constData(), std::size_t(utf8.size()));
    if (!isPlainFileName(name))
        return;
    const auto deadline = Clock::now() + kGiveUpAfter;
    // Scan again after each round: a victim may have forked a child of the same name.
    for (;;) {
        Victims victims;
        killMatching(name, victims);
        if (victims.empty() || !victims.waitUntilEnded(deadline))
            return;
    }
}
