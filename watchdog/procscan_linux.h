#pragma once

#include <dirent.h>

#include <string_view>

// The /proc reading shared by the probe and the terminate on Linux.
namespace procscan {

// Whether the process `pid` (an entry of the /proc directory open as `procFd`)
// runs an executable called `name`: the last component of its exe link; or,
// where that link names another file (an interpreter, Wine's loader), its
// kernel name confirmed by its first or second argument; or, where the link
// can't be read, its kernel name (confirmed by the arguments when it may be cut
// short). Zombies and kernel threads never do; a process whose main thread has
// ended while others run is read through one of those.
bool matches(int procFd, const char *pid, std::string_view name);

// The decisions on what /proc says, apart from reading it.

// The file name an exe link points at, without the kernel's " (deleted)".
std::string_view executableName(std::string_view exeLink);

enum class KernelNameMatch { No, Yes, IfArgumentsAgree };
// Whether a kernel name (/proc/PID/comm) stands for `name`. Alone it decides
// only for a process whose exe link can't be read; one of the full 15 bytes may
// be cut short. Otherwise the arguments must agree.
KernelNameMatch compareKernelName(std::string_view comm, std::string_view name, bool exeLinkRead);

// Whether the last component of the first or second argument of `cmdline`
// (/proc/PID/cmdline, maybe cut off unless `complete`) is `name`, taking "\"
// as a separator too. A script started through its "#!" line runs as
// `interpreter script`; a Windows program under Wine has the path Wine was
// given, Unix or Windows, as its first argument.
bool argumentsName(std::string_view cmdline, bool complete, std::string_view name);

// Whether /proc/PID/stat describes a process that is neither a zombie nor a kernel thread.
bool isLiveUserProcess(std::string_view stat);

// A pidfd for the process `pid` if it matches `name`, or -1. The id may pass to
// another process at any moment; the pidfd pins one, and the name is checked
// through it, so whatever is done with the pidfd reaches the process that was checked.
int openMatching(int procFd, const char *pid, std::string_view name);

// Whether the process behind a pidfd has ended (a zombie or gone).
bool hasEnded(int pidfd);

// Whether this kernel gives pidfds (Linux 5.3 on, where seccomp allows them).
bool pidfdsAvailable();

// Without pidfds a process is known by its id and its start time
// (/proc/PID/stat's 22nd field, never 0 for a live user process): the pair
// stays unique though the id may pass on. 0 for a zombie, a kernel thread or
// text that doesn't parse.
unsigned long long liveStartTime(std::string_view stat);
unsigned long long liveStartTime(int procFd, const char *pid);

// SIGKILL by id, where pidfds can't be had, to the process `pid` if it matches
// `name`; its start time as read just before the signal, or 0 when none was
// sent. The id may pass to another process between that last read and the
// signal: this is the race that pidfds close.
unsigned long long killMatchingById(int procFd, const char *pid, std::string_view name);

// The numeric entries of /proc, read through one directory handle.
class ProcDir
{
public:
    ProcDir();
    ~ProcDir();
    ProcDir(const ProcDir &) = delete;
    ProcDir &operator=(const ProcDir &) = delete;

    bool isOpen() const { return m_dir != nullptr; }
    int fd() const;
    // The next process id as text, or nullptr at the end.
    const char *next();

private:
    DIR *m_dir;
};

} // namespace procscan
