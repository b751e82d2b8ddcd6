// The processes the benchmarks put on the machine, and the watched program in
// them: it sleeps until it is killed, and never outlives whoever started it.
//   BENCH_START_LOG=FILE  append "PID NS" once started, NS on CLOCK_MONOTONIC,
//                         so that another process can time its start.
// Kept to system calls and linked statically where possible: thousands of
// copies start fast and hold little.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Its parent may have gone before the line above took effect.
    if (getppid() == 1)
        return 0;
    if (const char *log = std::getenv("BENCH_START_LOG")) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        char line[64];
        const int n = std::snprintf(line, sizeof line, "%d %lld\n", int(getpid()),
                                    now.tv_sec * 1000000000LL + now.tv_nsec);
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, line, std::size_t(n)) != n)
                return 1;
            close(fd);
        }
    }
    for (;;)
        pause();
}
