#include "procscan_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace procscan {

namespace {

constexpr std::size_t kKernelNameLength = 15; // TASK_COMM_LEN less its NUL
constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr unsigned long kKernelThreadFlag = 0x00200000; // PF_KTHREAD

std::string_view lastComponent(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Reads at most `size` bytes of /proc/PID/FILE into `buffer`; -1 when it can't be opened.
long readEntryFile(int procFd, const char *pid, const char *file, char *buffer, std::size_t size)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/%s", pid, file);
    const int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    std::size_t total = 0;
    while (total < size) {
        const ssize_t n = read(fd, buffer + total, size - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += std::size_t(n);
    }
    close(fd);
    return long(total);
}

bool isLiveUserProcess(int procFd, const char *pid)
{
    char stat[512];
    const long n = readEntryFile(procFd, pid, "stat", stat, sizeof stat - 1);
    if (n <= 0)
        return false;
    stat[n] = '\0';
    // The kernel name in parentheses may itself hold ") ", so parse after the last one.
    const char *afterName = std::strrchr(stat, ')');
    char state = 0;
    unsigned long flags = 0;
    if (!afterName || std::sscanf(afterName + 1, " %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2)
        return false;
    return state != 'Z' && state != 'X' && !(flags & kKernelThreadFlag);
}

// A script started through its "#!" line runs as `interpreter script`, so its
// own path is the first or the second argument.
bool startedByArgumentName(int procFd, const char *pid, std::string_view name)
{
    char args[2 * PATH_MAX + 2];
    const long n = readEntryFile(procFd, pid, "cmdline", args, sizeof args);
    if (n <= 0)
        return false;
    std::string_view rest(args, std::size_t(n));
    for (int i = 0; i < 2 && !rest.empty(); ++i) {
        const std::size_t end = rest.find('\0');
        if (end == std::string_view::npos && std::size_t(n) == sizeof args)
            return false; // cut off: its last component is unknown
        if (lastComponent(rest.substr(0, end)) == name)
            return true;
        if (end == std::string_view::npos)
            return false;
        rest.remove_prefix(end + 1);
    }
    return false;
}

bool matchesByKernelName(int procFd, const char *pid, std::string_view name)
{
    char comm[32];
    long n = readEntryFile(procFd, pid, "comm", comm, sizeof comm);
    if (n > 0 && comm[n - 1] == '\n')
        --n;
    if (n <= 0)
        return false;
    const std::string_view kernelName(comm, std::size_t(n));
    if (kernelName.size() < kKernelNameLength) {
        if (kernelName != name)
            return false;
    } else if (kernelName != name.substr(0, kKernelNameLength)
               || !startedByArgumentName(procFd, pid, name)) {
        // A kernel name of full length may be cut short: "Quillbarrow.exe" is also the
        // kernel name of "Quillbarrow.exe.old", so the arguments must confirm it.
        return false;
    }
    return isLiveUserProcess(procFd, pid);
}

} // namespace

bool isPlainFileName(std::string_view name)
{
    return !name.empty() && name.size() <= NAME_MAX
           && name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool matches(int procFd, const char *pid, std::string_view name)
{
    char exe[PATH_MAX + 1];
    char path[64];
    std::snprintf(path, sizeof path, "%s/exe", pid);
    const ssize_t n = readlinkat(procFd, path, exe, sizeof exe);
    if (n >= 0 && std::size_t(n) < sizeof exe) {
        std::string_view target(exe, std::size_t(n));
        if (target.size() >= kDeletedSuffix.size()
            && target.substr(target.size() - kDeletedSuffix.size()) == kDeletedSuffix)
            target.remove_suffix(kDeletedSuffix.size());
        if (lastComponent(target) == name)
            return true;
    } else if (n < 0 && errno != EACCES && errno != EPERM) {
        return false; // ended, a zombie or a kernel thread: none has an executable
    }
    return matchesByKernelName(procFd, pid, name);
}

int openMatching(int procFd, const char *pid, std::string_view name)
{
    if (!matches(procFd, pid, name))
        return -1;
    const int pidfd = int(syscall(SYS_pidfd_open, pid_t(std::strtol(pid, nullptr, 10)), 0));
    if (pidfd < 0)
        return -1;
    // Checked again through the pinned process: if it still lives after the
    // check, the check was about it and not about a successor with its id.
    if (matches(procFd, pid, name) && !hasEnded(pidfd))
        return pidfd;
    close(pidfd);
    return -1;
}

bool hasEnded(int pidfd)
{
    pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, 0) != 0;
}

ProcDir::ProcDir()
    : m_dir(opendir("/proc"))
{
}

ProcDir::~ProcDir()
{
    if (m_dir)
        closedir(m_dir);
}

int ProcDir::fd() const
{
    return dirfd(m_dir);
}

const char *ProcDir::next()
{
    while (const dirent *entry = readdir(m_dir)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9')
            return entry->d_name;
    }
    return nullptr;
}

} // namespace procscan
