// The watch loop as it runs, with about 400 processes on the machine:
//  - the real watchdog's CPU while the program it watches runs,
//  - its reaction when an instance it didn't start ends,
//  - its resident memory, against a Qt program that does nothing;
// and, in this process on the same code, that many probe calls and passes
// with a short hold leave memory and descriptors as they were.
// Each figure is set beside a reference measured in the same run. Tables go
// to standard output.
//   --cpu-seconds=N  --reactions=N  --probes=N  --passes=N  --population=N

#include "benchutil.h"
#include "processkill.h"
#include "processprobe.h"
#include "refscan.h"
#include "watchdog.h"

#include <QCoreApplication>
#include <QSettings>
#include <QString>

#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <condition_variable>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

struct Options
{
    int cpuSeconds = 30;
    int reactions = 15;
    int probes = 10000;
    int passes = 1000;
    int population = 400;
};

void sleepMs(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string text(const char *format, double value)
{
    char out[64];
    std::snprintf(out, sizeof out, format, value);
    return out;
}

// A folder holding a copy of the sleeper as the watched program, found on
// PATH by its bare name, and a sys.ini that names it.
class Watched
{
public:
    explicit Watched(const std::string &tag)
        : name("wdw-" + std::to_string(getpid()) + "-" + tag)
        , program(dir.copyIn(BENCH_SLEEPER_PATH, name))
    {
        std::ofstream(dir.path() + "/sys.ini") << "[General]\nVORTELIN_PATH=" << program << "\n";
    }
    ~Watched() { terminateProcesses(QString::fromStdString(name)); }

    std::string file(const char *name) const { return dir.path() + "/" + name; }

    pid_t startWatchdog() const
    {
        return bench::start(WATCHDOG_PATH, {},
                            {"QT_QPA_PLATFORM=offscreen", "PATH=" + dir.path() + ":" + std::getenv("PATH"),
                             "BENCH_START_LOG=" + file("starts.txt")},
                            dir.path());
    }

    // Ends a watchdog and whatever it started.
    void end(pid_t watchdog) const
    {
        bench::end(watchdog);
        terminateProcesses(QString::fromStdString(name));
        bench::reapEnded();
    }

    bool restarted() const { return access(file(watchdog::kRestartLog).c_str(), F_OK) == 0; }

    // The start stamps written by the copies started with BENCH_START_LOG=`log`.
    static std::vector<long long> stamps(const std::string &log)
    {
        std::istringstream lines(bench::readFile(log));
        std::vector<long long> out;
        for (long long pid, ns; lines >> pid >> ns;)
            out.push_back(ns);
        return out;
    }

    bench::TempDir dir;
    const std::string name;
    const std::string program;
};

long long threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Beside the watchdog, once a second, the least a pass must do: one reference
// scan of the whole table. Once a second its caches are as cold as the
// watchdog's, which a scan run back to back would not show.
class ReferenceWatcher
{
public:
    ReferenceWatcher()
        : m_thread([this] { run(); })
    {
    }
    ~ReferenceWatcher() { stop(); }

    // The median CPU time of one scan, in ns.
    double stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return bench::median(m_ns);
    }

private:
    void run()
    {
        const std::string absent = "wdw-" + std::to_string(getpid()) + "-none";
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop; })) {
            const long long before = threadCpuNs();
            bench::referenceScan(absent);
            m_ns.push_back(double(threadCpuNs() - before));
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::vector<double> m_ns;
    std::thread m_thread;
};

bool watchModeCpuAndMemory(const Options &options)
{
    Watched watched("cpu");
    const pid_t instance = bench::start(watched.program);
    const pid_t watchdog = watched.startWatchdog();
    // Measured over the same window: the wake-ups of a Qt program that only runs its event loop.
    const pid_t floor = bench::start(BENCH_QTFLOOR_PATH, {}, {"QT_QPA_PLATFORM=offscreen"});
    // Past its start-up, so that only the passes are counted.
    sleepMs(3000);
    if (!bench::isAlive(watchdog) || watched.restarted()) {
        std::cout << "ERROR the watchdog ended or did not find the running instance\n";
        watched.end(watchdog);
        bench::end(instance);
        bench::end(floor);
        return false;
    }
    const int processes = bench::processCount();
    const long long ns0 = bench::cpuNs(watchdog), ticks0 = bench::cpuTicks(watchdog);
    const int fds0 = bench::openDescriptors(watchdog);
    const long rss0 = bench::residentKiB(watchdog);
    const long wakes0 = bench::contextSwitches(watchdog), floorWakes0 = bench::contextSwitches(floor);
    const long long t0 = bench::monotonicNs();
    ReferenceWatcher reference;
    sleepMs(options.cpuSeconds * 1000L);
    const double scanNs = reference.stop();
    const long wakes1 = bench::contextSwitches(watchdog), floorWakes1 = bench::contextSwitches(floor);
    const long long ns1 = bench::cpuNs(watchdog), ticks1 = bench::cpuTicks(watchdog);
    const long long t1 = bench::monotonicNs();
    const int fds1 = bench::openDescriptors(watchdog);
    const long rss1 = bench::residentKiB(watchdog), anon1 = bench::anonymousKiB(watchdog);
    const bool undisturbed = bench::isAlive(watchdog) && bench::isAlive(instance) && !watched.restarted();
    const long floorRss = bench::residentKiB(floor), floorAnon = bench::anonymousKiB(floor);
    watched.end(watchdog);
    bench::end(instance);
    bench::end(floor);

    const double seconds = double(t1 - t0) / 1e9;
    const double share = double(ns1 - ns0) / double(t1 - t0);
    const double tickShare = double(ticks1 - ticks0) / double(sysconf(_SC_CLK_TCK)) / seconds;
    const double wakesPerMinute = double(wakes1 - wakes0) * 60 / seconds;
    const double floorPerMinute = double(floorWakes1 - floorWakes0) * 60 / seconds;
    std::cout << "### Watch mode: the real watchdog while the watched program runs\n\n"
              << processes << " processes on the machine; " << text("%.0f", seconds)
              << " s, after 3 s of start-up. The reference is the CPU time of one reference scan of the "
                 "whole table (refscan.h), run once a second beside the watchdog over the same window. "
                 "Wake-ups are context switches, voluntary or not, summed over all threads "
                 "(/proc/PID/task/*/status), beside those of an empty Qt window running its event loop "
                 "(qtfloor.cpp) over the same window.\n\n"
                 "| measure | watchdog | reference | ratio |\n|---|---:|---:|---:|\n"
              << "| **wake-ups per minute** | **" << text("%.1f", wakesPerMinute) << "** ("
              << (wakes1 - wakes0) << " in " << text("%.0f s", seconds) << ") | empty Qt window: "
              << text("%.1f", floorPerMinute) << " (" << (floorWakes1 - floorWakes0) << ") | "
              << (floorPerMinute > 0 ? text("%.2f", wakesPerMinute / floorPerMinute) : std::string("—")) << " |\n"
              << "| **CPU, % of one core** (schedstat) | **" << text("%.3f %%", share * 100) << "** | one scan: "
              << text("%.0f µs", scanNs / 1000) << " | " << text("%.2f", share * 1e9 / scanNs)
              << " scans' worth per second |\n"
              << "| CPU, % of one core (utime+stime) | " << text("%.2f %%", tickShare * 100) << " ("
              << (ticks1 - ticks0) << " × " << 1000 / sysconf(_SC_CLK_TCK) << " ms) | | |\n"
              << "| resident memory | " << text("%.1f MiB", double(rss1) / 1024) << " ("
              << text("%.1f MiB", double(anon1) / 1024) << " anonymous) | empty Qt window: "
              << text("%.1f MiB", double(floorRss) / 1024) << " (" << text("%.1f MiB", double(floorAnon) / 1024)
              << ") | " << text("%.2f", double(rss1) / double(floorRss)) << " |\n"
              << "| resident memory, start → end of the window | " << rss0 << " → " << rss1 << " KiB | | |\n"
              << "| open descriptors, start → end of the window | " << fds0 << " → " << fds1 << " | | |\n\n"
              << "Goal, under 0.2 % of one core: " << (share < 0.002 ? "**met**" : "**missed**") << ". "
              << "Goal, no wake-up while the program runs: " << (wakes1 == wakes0 ? "**met**" : "**missed**")
              << ".\n\n";
    if (!undisturbed)
        std::cout << "ERROR the watchdog or the watched instance ended, or it restarted, during the window\n\n";
    return undisturbed && share < 0.002 && wakes1 == wakes0;
}

bool reaction(const Options &options)
{
    Watched watched("react");
    std::mt19937 random{unsigned(getpid())};
    std::uniform_int_distribution<long> phase(1000, 2000);
    std::vector<double> reactions, starts;
    int failures = 0;
    for (int i = 0; i < options.reactions; ++i) {
        std::remove(watched.file("starts.txt").c_str());
        std::remove(watched.file(watchdog::kRestartLog).c_str());

        // The reference: this process starting the same program and seeing it run.
        const std::string ownLog = watched.file("own-start.txt");
        std::remove(ownLog.c_str());
        const long long asked = bench::monotonicNs();
        const pid_t own = bench::start(watched.program, {}, {"BENCH_START_LOG=" + ownLog});
        bench::waitUntil([&] { return !Watched::stamps(ownLog).empty(); }, 5000);
        const std::vector<long long> ownStamp = Watched::stamps(ownLog);
        bench::end(own);

        const pid_t instance = bench::start(watched.program);
        const pid_t watchdog = watched.startWatchdog();
        // At a random point of its one-second passes, well past its start-up.
        sleepMs(phase(random));
        const bool waiting = bench::isAlive(watchdog) && !watched.restarted();
        const long long ended = bench::monotonicNs();
        bench::end(instance);
        bench::waitUntil([&] { return !Watched::stamps(watched.file("starts.txt")).empty(); }, 5000);
        const std::vector<long long> started = Watched::stamps(watched.file("starts.txt"));
        watched.end(watchdog);
        if (!waiting || started.empty() || ownStamp.empty()) {
            ++failures;
            continue;
        }
        reactions.push_back(double(started.front() - ended) / 1e6);
        starts.push_back(double(ownStamp.front() - asked) / 1e6);
    }
    const double median = bench::median(reactions), reference = bench::median(starts);
    const auto [least, most] = std::minmax_element(reactions.begin(), reactions.end());
    std::cout << "### Reaction: from the end of an instance the watchdog didn't start to the next start\n\n"
              << reactions.size() << " runs of the real watchdog, each fresh, the instance ended at a random "
                 "point 1 to 2 s after the watchdog started. The reference is this benchmark starting the same "
                 "program itself, from the call to the program's first line.\n\n"
                 "| measure | median | least | most | reference (median) | ratio |\n|---|---:|---:|---:|---:|---:|\n"
              << "| end → next start | **" << text("%.1f ms", median) << "** | "
              << text("%.1f ms", reactions.empty() ? 0 : *least) << " | "
              << text("%.1f ms", reactions.empty() ? 0 : *most) << " | " << text("%.2f ms", reference) << " | "
              << text("%.1f", reference > 0 ? median / reference : 0) << " |\n\n"
              << "Goal, median under 50 ms: " << (!reactions.empty() && median < 50 ? "**met**" : "**missed**")
              << ".\n\n";
    if (failures)
        std::cout << "ERROR " << failures << " runs failed: the watchdog was not waiting, or nothing started\n\n";
    return failures == 0 && median < 50;
}

struct Footprint
{
    long rss;
    long anon;
    long long heapSize; // what the allocator holds from the system
    long long heap;     // what of it is in use
    int fds;
};

Footprint footprintNow()
{
    const struct mallinfo2 heap = mallinfo2();
    return {bench::residentKiB(getpid()), bench::anonymousKiB(getpid()), (long long)(heap.arena + heap.hblkhd),
            (long long)(heap.uordblks), bench::openDescriptors(getpid())};
}

bool nothingKept(const Options &options)
{
    Watched watched("keep");
    const std::string presentName = watched.name + "-p";
    const pid_t present = bench::start(watched.dir.copyIn(BENCH_SLEEPER_PATH, presentName));
    const std::string absentName = watched.name + "-none";
    // As the watchdog has it: the working folder holds the log, the program is found on PATH.
    char previousDir[4096];
    if (!getcwd(previousDir, sizeof previousDir) || chdir(watched.dir.path().c_str()) != 0)
        throw std::runtime_error("cannot enter the work folder");
    const std::string previousPath = std::getenv("PATH");
    setenv("PATH", (watched.dir.path() + ":" + previousPath).c_str(), 1);
    QSettings settings(QString::fromStdString(watched.file("sys.ini")), QSettings::IniFormat);

    int wrong = 0;
    const auto probes = [&](int calls) {
        for (int i = 0; i < calls / 2; ++i)
            wrong += (isProcessRunning(presentName.c_str()) != 1) + (isProcessRunning(absentName.c_str()) != 0);
    };
    ProcessWatcher watcher;
    const auto passes = [&](int count) {
        for (int i = 0; i < count; ++i)
            wrong += watchdog::watchPass(settings, watcher, 1) != watchdog::Pass::Restarted;
    };
    // First rounds of each, so that buffers made once (C library, Qt) count as before.
    probes(100);
    passes(20);
    footprintNow();
    const Footprint before = footprintNow();
    probes(options.probes);
    const Footprint afterProbes = footprintNow();
    passes(options.passes);
    const Footprint afterPasses = footprintNow();
    passes(options.passes);
    const Footprint afterMorePasses = footprintNow();
    const bool leftover = isProcessRunning(watched.name.c_str()) != 0;

    setenv("PATH", previousPath.c_str(), 1);
    if (chdir(previousDir) != 0)
        throw std::runtime_error("cannot leave the work folder");
    bench::end(present);

    const auto signedText = [](long long value) { return (value > 0 ? "+" : "") + std::to_string(value); };
    const auto row = [&](const std::string &what, const Footprint &f) {
        std::cout << "| " << what << " | " << f.rss << " (" << signedText(f.rss - before.rss) << ") | " << f.anon
                  << " (" << signedText(f.anon - before.anon) << ") | " << f.heapSize << " ("
                  << signedText(f.heapSize - before.heapSize) << ") | " << f.heap << " ("
                  << signedText(f.heap - before.heap) << ") | " << f.fds << " (" << signedText(f.fds - before.fds)
                  << ") |\n";
    };
    std::cout << "### Nothing kept: many probe calls and passes in one process\n\n"
                 "The same code as the watchdog, in this process. Passes hold 1 ms. The reference is the state "
                 "after a first round of each. *Heap* is what the allocator holds from the system, and what of it "
                 "is in use.\n\n"
                 "| after | resident KiB (Δ) | anonymous KiB (Δ) | heap, bytes (Δ) | heap in use, bytes (Δ) | "
                 "open descriptors (Δ) |\n"
                 "|---|---:|---:|---:|---:|---:|\n";
    row("first rounds (reference)", before);
    row(std::to_string(options.probes) + " probe calls", afterProbes);
    row(std::to_string(options.passes) + " passes", afterPasses);
    row(std::to_string(options.passes) + " passes more", afterMorePasses);
    const bool probesKept = afterProbes.rss != before.rss || afterProbes.fds != before.fds;
    const bool passesKept = afterPasses.fds != before.fds || afterMorePasses.fds != before.fds
                            || afterPasses.heapSize != before.heapSize || afterMorePasses.heapSize != before.heapSize
                            || afterMorePasses.rss != afterPasses.rss;
    const bool kept = probesKept || passesKept;
    std::cout << "\nGoal, resident memory and descriptors unchanged: " << (kept ? "**missed**" : "**met**");
    if (!kept && afterPasses.rss != before.rss)
        std::cout << " once settled: the first passes touched " << afterPasses.rss - before.rss
                  << " KiB more of a heap whose size did not change, the next " << options.passes
                  << " nothing";
    std::cout << ".\n\n";
    if (wrong || leftover)
        std::cout << "ERROR " << wrong << " wrong answers" << (leftover ? ", an instance was left running" : "")
                  << "\n\n";
    return !kept && !wrong && !leftover;
}

} // namespace

int main(int argc, char *argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        int value = 0;
        char key[32] = {};
        if (std::sscanf(argv[i], "--%31[a-z-]=%d", key, &value) != 2 || value <= 0) {
            std::cerr << "unknown argument " << argv[i] << "\n";
            return 2;
        }
        const std::string k = key;
        int *field = k == "cpu-seconds" ? &options.cpuSeconds
                     : k == "reactions" ? &options.reactions
                     : k == "probes"    ? &options.probes
                     : k == "passes"    ? &options.passes
                     : k == "population" ? &options.population
                                         : nullptr;
        if (!field) {
            std::cerr << "unknown argument " << argv[i] << "\n";
            return 2;
        }
        *field = value;
    }
    bench::cleanUpAfterwards();
    // What the watchdogs started is adopted when they are ended, so it is reaped here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    unsetenv("BENCH_START_LOG");
    QCoreApplication app(argc, argv);

    // Caught, so that the processes and folders made so far are ended and removed on the way out.
    try {
        bool allMet = true;
        bench::Population population(BENCH_SLEEPER_PATH);
        population.resize(options.population);
        allMet &= watchModeCpuAndMemory(options);
        allMet &= reaction(options);
        allMet &= nothingKept(options);
        bench::reapEnded();
        return allMet ? 0 : 1;
    } catch (const std::exception &error) {
        std::cout << "ERROR " << error.what() << "\n";
        bench::reapEnded();
        return 1;
    }
}
