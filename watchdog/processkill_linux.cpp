#include "processkill.h"

#include "processname.h"
#include "procscan_linux.h"

#include <QByteArray>
#include <QString>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace {

using Clock = std::chrono::steady_clock;

// A process that won't die (stuck in the kernel) must not stall the watchdog for good.
constexpr auto kGiveUpAfter = std::chrono::seconds(5);

// Handles of the processes that were sent SIGKILL; each polls readable once its process has ended.
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
    bool empty() const { return m_fds.empty(); }

    // True once every one has ended, false when the deadline came first.
    bool waitUntilEnded(Clock::time_point deadline)
    {
        std::vector<pollfd> pending = m_fds;
        while (!pending.empty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            const int ready = poll(pending.data(), nfds_t(pending.size()), int(left.count()));
            if (ready < 0 && errno != EINTR)
                return false;
            for (std::size_t i = pending.size(); i-- > 0;) {
                if (pending[i].revents)
                    pending.erase(pending.begin() + long(i));
            }
        }
        return true;
    }

private:
    std::vector<pollfd> m_fds;
};

void killMatching(std::string_view name, Victims &victims)
{
    const pid_t self = getpid();
    procscan::ProcDir proc;
    if (!proc.isOpen())
        return;
    while (const char *pid = proc.next()) {
        if (pid_t(std::strtol(pid, nullptr, 10)) == self)
            continue;
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
