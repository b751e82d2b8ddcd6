#include "refscan.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace bench {

namespace {

struct LinuxDirent64
{
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

constexpr std::string_view kDeleted = " (deleted)";

} // namespace

bool referenceScan(std::string_view name)
{
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return false;
    alignas(8) char entries[32768];
    bool found = false;
    long size;
    while (!found && (size = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0) {
        for (long at = 0; at < size && !found;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
                continue;
            const std::size_t pidLength = std::strlen(entry->d_name);
            char path[32];
            std::memcpy(path, entry->d_name, pidLength);

            std::memcpy(path + pidLength, "/exe", 5);
            char link[PATH_MAX];
            const ssize_t n = readlinkat(proc, path, link, sizeof link);
            if (n >= 0) {
                std::string_view target(link, std::size_t(n));
                if (target.size() >= kDeleted.size() && target.substr(target.size() - kDeleted.size()) == kDeleted)
                    target.remove_suffix(kDeleted.size());
                const std::size_t slash = target.rfind('/');
                if (target.substr(slash == std::string_view::npos ? 0 : slash + 1) == name) {
                    found = true;
                    break;
                }
            } else if (errno != EACCES && errno != EPERM) {
                continue;
            }

            std::memcpy(path + pidLength, "/comm", 6);
            const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            char comm[32];
            ssize_t length = read(fd, comm, sizeof comm);
            close(fd);
            if (length > 0 && comm[length - 1] == '\n')
                --length;
            found = length > 0 && std::string_view(comm, std::size_t(length)) == name;
        }
    }
    close(proc);
    return found;
}

} // namespace bench
