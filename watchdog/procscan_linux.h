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
