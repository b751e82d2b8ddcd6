#pragma once

#include <dirent.h>

#include <string_view>

// The /proc reading shared by the probe and the terminate on Linux.
namespace procscan {

// Whether `name` can be a file name at all: not empty, no "/", no NUL.
bool isPlainFileName(std::string_view name);

// Whether the process `pid` (an entry of the /proc directory open as `procFd`)
// runs an executable called `name`: the last component of its exe link, or,
// where that link names an interpreter or can't be read, its kernel name
// confirmed by its first or second argument. Zombies and kernel threads never do.
bool matches(int procFd, const char *pid, std::string_view name);

// A pidfd for the process `pid` if it matches `name`, or -1. The id may pass to
// another process at any moment; the pidfd pins one, and the name is checked
// through it, so whatever is done with the pidfd reaches the process that was checked.
int openMatching(int procFd, const char *pid, std::string_view name);

// Whether the process behind a pidfd has ended (a zombie or gone).
bool hasEnded(int pidfd);

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
