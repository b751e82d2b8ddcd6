#include "procscan_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
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

std::string_view lastComponent(std::string_view path, std::string_view separators = "/")
{
    const std::size_t slash = path.find_last_of(separators);
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

bool startedByArgumentName(int procFd, const char *pid, std::string_view name)
{
    char args[2 * PATH_MAX + 2];
    const long n = readEntryFile(procFd, pid, "cmdline", args, sizeof args);
    return n > 0 && argumentsName(std::string_view(args, std::size_t(n)), std::size_t(n) < sizeof args, name);
}

bool isLiveUserProcessAt(int procFd, const char *pid)
{
    char stat[512];
    const long n = readEntryFile(procFd, pid, "stat", stat, sizeof stat);
    return n > 0 && isLiveUserProcess(std::string_view(stat, std::size_t(n)));
}

enum class EntryMatch { No, Yes, NotLive };

EntryMatch matchesByKernelName(int procFd, const char *entry, std::string_view name, bool exeLinkRead)
{
    char comm[32];
    const long n = readEntryFile(procFd, entry, "comm", comm, sizeof comm);
    if (n <= 0)
        return EntryMatch::No;
    switch (compareKernelName(std::string_view(comm, std::size_t(n)), name, exeLinkRead)) {
    case KernelNameMatch::No:
        return EntryMatch::No;
    case KernelNameMatch::IfArgumentsAgree:
        if (!startedByArgumentName(procFd, entry, name))
            return EntryMatch::No;
        break;
    case KernelNameMatch::Yes:
        break;
    }
    return isLiveUserProcessAt(procFd, entry) ? EntryMatch::Yes : EntryMatch::NotLive;
}

// `entry` is a process ("PID") or one of its threads ("PID/task/TID").
EntryMatch matchesEntry(int procFd, const char *entry, std::string_view name)
{
    char exe[PATH_MAX + 1];
    char path[64];
    std::snprintf(path, sizeof path, "%s/exe", entry);
    const ssize_t n = readlinkat(procFd, path, exe, sizeof exe);
    if (n >= 0 && std::size_t(n) < sizeof exe) {
        if (executableName(std::string_view(exe, std::size_t(n))) == name)
            return EntryMatch::Yes;
    } else if (n < 0 && errno != EACCES && errno != EPERM) {
        return EntryMatch::NotLive; // ended, a zombie or a kernel thread: none has an executable
    }
    return matchesByKernelName(procFd, entry, name, n >= 0);
}

// A process whose main thread has ended (main called pthread_exit) runs on in
// its other threads, while its own entry is a zombie's: ask the first live one.
bool matchesThroughOtherThread(int procFd, const char *pid, std::string_view name)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/task", pid);
    // Its link count is 2 and one per thread: kernel threads and true zombies,
    // most of the processes seen here, cost only this look.
    struct stat tasks;
    if (fstatat(procFd, path, &tasks, 0) != 0 || tasks.st_nlink <= 3)
        return false;
    const int fd = openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Read into a small buffer here: opendir would take 32 KiB from the heap.
    alignas(8) char entries[1024];
    EntryMatch found = EntryMatch::NotLive;
    long size;
    while (found == EntryMatch::NotLive && (size = syscall(SYS_getdents64, fd, entries, sizeof entries)) > 0) {
        for (long at = 0; at < size && found == EntryMatch::NotLive;) {
            const auto *const task = reinterpret_cast<const dirent64 *>(entries + at);
            at += task->d_reclen;
            if (task->d_name[0] < '1' || task->d_name[0] > '9' || std::strcmp(task->d_name, pid) == 0)
                continue;
            char thread[sizeof path + sizeof task->d_name];
            std::snprintf(thread, sizeof thread, "%s/task/%s", pid, task->d_name);
            found = matchesEntry(procFd, thread, name);
        }
    }
    close(fd);
    return found == EntryMatch::Yes;
}

} // namespace

std::string_view executableName(std::string_view exeLink)
{
    if (exeLink.size() >= kDeletedSuffix.size()
        && exeLink.substr(exeLink.size() - kDeletedSuffix.size()) == kDeletedSuffix)
        exeLink.remove_suffix(kDeletedSuffix.size());
    return lastComponent(exeLink);
}

KernelNameMatch compareKernelName(std::string_view comm, std::string_view name, bool exeLinkRead)
{
    if (!comm.empty() && comm.back() == '\n')
        comm.remove_suffix(1);
    if (comm.empty())
        return KernelNameMatch::No;
    // Any process can give itself any kernel name (PR_SET_NAME). Where its exe
    // link names another file, only the arguments can tell it runs the program.
    if (comm.size() < kKernelNameLength) {
        if (comm != name)
            return KernelNameMatch::No;
        return exeLinkRead ? KernelNameMatch::IfArgumentsAgree : KernelNameMatch::Yes;
    }
    // A kernel name of full length may be cut short: "Quillbarrow.exe" is also the
    // kernel name of "Quillbarrow.exe.old", so the arguments must confirm it.
    return comm == name.substr(0, kKernelNameLength) ? KernelNameMatch::IfArgumentsAgree
                                                       : KernelNameMatch::No;
}

bool argumentsName(std::string_view cmdline, bool complete, std::string_view name)
{
    for (int i = 0; i < 2 && !cmdline.empty(); ++i) {
        const std::size_t end = cmdline.find('\0');
        if (end == std::string_view::npos && !complete)
            return false; // cut off: its last component is unknown
        // Wine keeps the path it was given, a Windows one from a shortcut or a launcher.
        const std::string_view argument = cmdline.substr(0, end);
        if (lastComponent(argument) == name || lastComponent(argument, "/\\") == name)
            return true;
        if (end == std::string_view::npos)
            return false;
        cmdline.remove_prefix(end + 1);
    }
    return false;
}

namespace {

// Field `number` (3 is the state) of /proc/PID/stat as a number; false when absent.
// The kernel name in parentheses may itself hold ") ", so read after the last one:
// ") STATE PPID PGRP SESSION TTY TPGID FLAGS ..."
bool statField(std::string_view stat, int number, unsigned long long &value)
{
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos || close + 3 > stat.size() || stat[close + 1] != ' ')
        return false;
    std::string_view rest = stat.substr(close + 2);
    for (int field = 3; field < number; ++field) {
        const std::size_t space = rest.find(' ');
        if (space == std::string_view::npos)
            return false;
        rest.remove_prefix(space + 1);
    }
    value = 0;
    std::size_t digits = 0;
    for (; digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9'; ++digits)
        value = value * 10 + unsigned(rest[digits] - '0');
    return digits > 0;
}

} // namespace

bool isLiveUserProcess(std::string_view stat)
{
    const std::size_t close = stat.rfind(')');
    unsigned long long flags = 0;
    if (!statField(stat, 9, flags))
        return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X' && !(flags & kKernelThreadFlag);
}

unsigned long long liveStartTime(std::string_view stat)
{
    unsigned long long started = 0;
    return isLiveUserProcess(stat) && statField(stat, 22, started) ? started : 0;
}

unsigned long long liveStartTime(int procFd, const char *pid)
{
    char stat[512];
    const long n = readEntryFile(procFd, pid, "stat", stat, sizeof stat);
    return n > 0 ? liveStartTime(std::string_view(stat, std::size_t(n))) : 0;
}

bool matches(int procFd, const char *pid, std::string_view name)
{
    // No file on Linux has a longer name, so no process runs one.
    if (name.size() > NAME_MAX)
        return false;
    switch (matchesEntry(procFd, pid, name)) {
    case EntryMatch::Yes:
        return true;
    case EntryMatch::No:
        return false;
    case EntryMatch::NotLive:
        break;
    }
    return matchesThroughOtherThread(procFd, pid, name);
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

bool pidfdsAvailable()
{
    const int pidfd = int(syscall(SYS_pidfd_open, getpid(), 0));
    if (pidfd < 0)
        return errno != ENOSYS && errno != EPERM; // EPERM: a seccomp profile's answer
    close(pidfd);
    return true;
}

unsigned long long killMatchingById(int procFd, const char *pid, std::string_view name)
{
    const unsigned long long started = liveStartTime(procFd, pid);
    // Read again after the match: if it is the same then, the match was about it.
    if (started == 0 || !matches(procFd, pid, name) || liveStartTime(procFd, pid) != started)
        return 0;
    return kill(pid_t(std::strtol(pid, nullptr, 10)), SIGKILL) == 0 ? started : 0;
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
