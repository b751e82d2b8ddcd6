#pragma once

// What the benchmarks share: starting and ending processes that never outlive
// the benchmark, a machine with a given number of processes, and medians.

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

namespace bench {

// Starts a process that removes this run's folders once this one has ended,
// however it ends; the processes it started end with it anyway. Call first,
// before any thread starts.
void cleanUpAfterwards();

// CLOCK_MONOTONIC in nanoseconds: the clock the sleeper stamps its start with.
long long monotonicNs();

// Processes on the machine: the numeric entries of /proc.
int processCount();

// Starts `path` with `args` (after argv[0]), the current environment with
// `env` ("NAME=VALUE") put over it, in `dir` when given, its output on the null
// device. It gets SIGKILL if the starting thread ends first. Returns once it
// has called exec (or failed to and ended): its pid, or -1.
pid_t start(const std::string &path, const std::vector<std::string> &args = {},
            const std::vector<std::string> &env = {}, const std::string &dir = {});

// SIGKILL, then reap.
void end(pid_t pid);

// Reaps every child (and adopted orphan) that has ended; never blocks.
void reapEnded();

// The wait status of `pid`, blocking until it has ended.
int waitFor(pid_t pid);

// Whether `pid` is alive and no zombie.
bool isAlive(pid_t pid);

// Resident and anonymous resident memory in KiB, from /proc/PID/status.
long residentKiB(pid_t pid);
long anonymousKiB(pid_t pid);
// Context switches of all the threads of `pid`, voluntary or not: each wake-up makes at least one.
long contextSwitches(pid_t pid);
// Open file descriptors of `pid`.
int openDescriptors(pid_t pid);
// Time on a CPU in nanoseconds, from /proc/PID/schedstat; -1 if unknown.
long long cpuNs(pid_t pid);
// User plus system time in clock ticks, from /proc/PID/stat; -1 if unknown.
long long cpuTicks(pid_t pid);

// Waits, polling every millisecond, until `done` holds or `timeoutMs` passes.
template <typename F>
bool waitUntil(F done, int timeoutMs)
{
    const long long deadline = monotonicNs() + timeoutMs * 1000000LL;
    while (!done()) {
        if (monotonicNs() > deadline)
            return false;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

double median(std::vector<double> values);

std::string readFile(const std::string &path);

// A folder under /tmp, removed with its content when it goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return m_path; }
    // Copies the file `from` into it as `name`, executable; returns the new path.
    std::string copyIn(const std::string &from, const std::string &name) const;

private:
    std::string m_path;
};

// Idle processes (copies of the sleeper) that bring the machine to a number of processes.
class Population
{
public:
    explicit Population(std::string sleeper);
    ~Population();
    Population(const Population &) = delete;
    Population &operator=(const Population &) = delete;

    // Starts or ends sleepers until about `total` processes run; returns how many run then.
    int resize(int total);

private:
    std::string m_sleeper;
    std::vector<pid_t> m_pids;
};

} // namespace bench
