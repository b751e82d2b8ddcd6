// The probe, one call, with about 75, 400 and 2,000 processes on the machine,
// against the least scan that learns the same (refscan.h), with pidof and
// pgrep run as whole processes beside it. Then the terminate, for 1, 10 and
// 100 instances, against signalling the known pids and waiting for them.
//
// Every benchmark is repeated and the repetitions of one machine size are
// interleaved at random, so that a load from elsewhere falls on all alike; the
// summary on standard output gives medians and their ratios, the details go to
// standard error.

#include "benchutil.h"
#include "processkill.h"
#include "processprobe.h"
#include "refscan.h"

#include <QString>

#include <benchmark/benchmark.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>

namespace {

struct Case
{
    int population;
    int processes; // counted once the population and the running instance were there
};

class Collector : public benchmark::ConsoleReporter
{
public:
    Collector()
        : ConsoleReporter(isatty(STDERR_FILENO) ? OO_Defaults : OO_Tabular)
    {
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                errors.push_back(run.benchmark_name() + ": " + run.error_message);
            else if (run.run_type == Run::RT_Iteration)
                micros[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
        }
    }

    double medianOf(const std::string &name) const
    {
        const auto it = micros.find(name);
        return it == micros.end() ? 0 : bench::median(it->second);
    }
    std::size_t count(const std::string &name) const
    {
        const auto it = micros.find(name);
        return it == micros.end() ? 0 : it->second.size();
    }

    std::map<std::string, std::vector<double>> micros;
    std::vector<std::string> errors;
};

std::string findTool(const char *name)
{
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(path, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// A whole run of a tool; whether it said "found" by its exit status.
bool toolFinds(const std::string &tool, const std::vector<std::string> &args)
{
    const int status = bench::waitFor(bench::start(tool, args));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename Scan>
void registerScan(const std::string &name, int expected, Scan scan)
{
    benchmark::RegisterBenchmark(name.c_str(), [expected, scan](benchmark::State &state) {
        for (auto _ : state) {
            if (int(scan()) != expected) {
                state.SkipWithError("wrong answer");
                break;
            }
        }
    })->Unit(benchmark::kMicrosecond)->UseRealTime();
}

int pidfdOpen(pid_t pid)
{
    return int(syscall(SYS_pidfd_open, pid, 0));
}

// Starts `count` instances, then times `endAll` and checks that they ended.
template <typename EndAll>
void registerTerminate(const std::string &name, int count, const std::string &program, EndAll endAll)
{
    benchmark::RegisterBenchmark(name.c_str(), [count, program, endAll](benchmark::State &state) {
        for (auto _ : state) {
            std::vector<pid_t> pids;
            for (int i = 0; i < count; ++i)
                pids.push_back(bench::start(program));
            const long long begin = bench::monotonicNs();
            endAll(pids);
            state.SetIterationTime(double(bench::monotonicNs() - begin) / 1e9);
            bool allEnded = true;
            for (pid_t pid : pids)
                allEnded = allEnded && !bench::isAlive(pid);
            for (pid_t pid : pids)
                bench::end(pid);
            if (!allEnded) {
                state.SkipWithError("an instance outlived the terminate");
                break;
            }
        }
    })->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(count >= 100 ? 5 : count >= 10 ? 20 : 50);
}

std::string fmt(double micros)
{
    char text[32];
    if (micros >= 10000)
        std::snprintf(text, sizeof text, "%.1f ms", micros / 1000);
    else if (micros >= 1000)
        std::snprintf(text, sizeof text, "%.2f ms", micros / 1000);
    else
        std::snprintf(text, sizeof text, "%.0f µs", micros);
    return text;
}

std::string ratio(double value, double reference)
{
    char text[32];
    std::snprintf(text, sizeof text, reference > 0 && value / reference < 10 ? "%.2f" : "%.0f",
                  reference > 0 ? value / reference : 0);
    return text;
}

} // namespace

int run()
{
    std::vector<int> populations;
    std::istringstream sizes(std::getenv("BENCH_POPULATIONS") ? std::getenv("BENCH_POPULATIONS") : "75 400 2000");
    for (int size; sizes >> size;)
        populations.push_back(size);
    const int terminateAt = 400;

    bench::TempDir dir;
    const std::string present = "wdb-" + std::to_string(getpid());
    const std::string absent = present + "-none";
    const std::string presentPath = dir.copyIn(BENCH_SLEEPER_PATH, present);
    const std::string victim = "wdb-" + std::to_string(getpid()) + "-t";
    const std::string victimPath = dir.copyIn(BENCH_SLEEPER_PATH, victim);
    const std::string pidof = findTool("pidof");
    const std::string pgrep = findTool("pgrep");

    Collector collector;
    collector.SetOutputStream(&std::cerr);
    std::vector<Case> cases;
    {
        bench::Population population(BENCH_SLEEPER_PATH);
        for (int size : populations) {
            population.resize(size - 1);
            // Started after the sleepers, it has one of the highest pids: found late in the scan.
            const pid_t instance = bench::start(presentPath);
            cases.push_back({size, bench::processCount()});
            const std::string prefix = "scan/" + std::to_string(size) + "/";
            for (const auto &[which, name, expected] :
                 {std::tuple{"absent", absent, 0}, std::tuple{"present", present, 1}}) {
                const std::string stem = prefix + which + "/";
                registerScan(stem + "probe", expected, [name = name] { return isProcessRunning(name.c_str()); });
                registerScan(stem + "reference", expected, [name = name] { return bench::referenceScan(name); });
                if (!pidof.empty())
                    registerScan(stem + "pidof", expected, [&pidof, name = name] { return toolFinds(pidof, {"-s", name}); });
                if (!pgrep.empty())
                    registerScan(stem + "pgrep", expected, [&pgrep, name = name] { return toolFinds(pgrep, {"-x", name}); });
            }
            benchmark::RunSpecifiedBenchmarks(&collector, "^" + prefix);
            bench::end(instance);

            if (size == terminateAt) {
                for (int n : {1, 10, 100}) {
                    const std::string stem = "terminate/" + std::to_string(n) + "/";
                    registerTerminate(stem + "terminateProcesses", n, victimPath, [victim](const std::vector<pid_t> &) {
                        terminateProcesses(QString::fromStdString(victim));
                    });
                    registerTerminate(stem + "reference", n, victimPath, [](const std::vector<pid_t> &pids) {
                        std::vector<pollfd> fds;
                        for (pid_t pid : pids) {
                            const int fd = pidfdOpen(pid);
                            syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
                            fds.push_back({fd, POLLIN, 0});
                        }
                        for (std::size_t ended = 0; ended < fds.size();) {
                            poll(fds.data(), nfds_t(fds.size()), -1);
                            for (pollfd &p : fds) {
                                if (p.revents) {
                                    close(p.fd);
                                    p.fd = -1;
                                    ++ended;
                                }
                            }
                        }
                    });
                }
                benchmark::RunSpecifiedBenchmarks(&collector, "^terminate/");
            }
        }
    }
    benchmark::Shutdown();

    std::cout << "### Probe: one `isProcessRunning` call\n\n"
                 "Medians of " << collector.count("scan/" + std::to_string(populations.front()) + "/absent/probe")
              << " runs, wall time per call. *Absent*: no process has the name, the whole table is read. "
                 "*Present*: one has, started last so found late. The reference scan learns the same "
                 "facts with the least work; pidof and pgrep are whole runs of those tools, for context.\n\n"
                 "| processes | name | probe | reference | **probe / reference** | `pidof -s` (/ reference) | `pgrep -x` (/ reference) |\n"
                 "|---:|---|---:|---:|---:|---:|---:|\n";
    double worstAtGoal = 0;
    for (const Case &c : cases) {
        for (const char *which : {"absent", "present"}) {
            const std::string stem = "scan/" + std::to_string(c.population) + "/" + which + "/";
            const double probe = collector.medianOf(stem + "probe");
            const double reference = collector.medianOf(stem + "reference");
            const auto tool = [&](const char *t) {
                const double value = collector.medianOf(stem + t);
                return value > 0 ? fmt(value) + " (" + ratio(value, reference) + ")" : std::string("n/a");
            };
            std::cout << "| " << c.processes << " | " << which << " | " << fmt(probe) << " | " << fmt(reference)
                      << " | **" << ratio(probe, reference) << "** | " << tool("pidof") << " | " << tool("pgrep")
                      << " |\n";
            if (c.population == terminateAt && reference > 0)
                worstAtGoal = std::max(worstAtGoal, probe / reference);
        }
    }
    if (worstAtGoal > 0)
        std::cout << "\nGoal, probe within 1.25 × reference at 400 processes: "
                  << (worstAtGoal <= 1.25 ? "**met**" : "**missed**") << " (worst " << ratio(worstAtGoal, 1) << ").\n";

    if (collector.count("terminate/1/reference")) {
        std::cout << "\n### Terminate: from the end of the hold to all instances gone\n\n"
                     "Medians, with about " << terminateAt << " processes on the machine. The reference signals the "
                     "known pids through pidfds and waits for them; `terminateProcesses` has to find them first, "
                     "and scans once more for children of the same name.\n\n"
                     "| instances | `terminateProcesses` | reference | ratio |\n|---:|---:|---:|---:|\n";
        for (int n : {1, 10, 100}) {
            const std::string stem = "terminate/" + std::to_string(n) + "/";
            const double value = collector.medianOf(stem + "terminateProcesses");
            const double reference = collector.medianOf(stem + "reference");
            std::cout << "| " << n << " | " << fmt(value) << " | " << fmt(reference) << " | " << ratio(value, reference)
                      << " |\n";
        }
    }
    for (const std::string &error : collector.errors)
        std::cout << "\nERROR " << error << "\n";
    return collector.errors.empty() ? 0 : 1;
}

int main(int argc, char **argv)
{
    bench::cleanUpAfterwards();
    // Defaults first, so that flags given on the command line win.
    std::vector<char *> args{argv[0]};
    std::string defaults[] = {"--benchmark_repetitions=9", "--benchmark_enable_random_interleaving=true",
                              "--benchmark_min_time=0.2"};
    for (std::string &flag : defaults)
        args.push_back(flag.data());
    args.insert(args.end(), argv + 1, argv + argc);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;

    // Caught, so that the processes and folders made so far are ended and removed on the way out.
    try {
        return run();
    } catch (const std::exception &error) {
        std::cout << "ERROR " << error.what() << "\n";
        return 1;
    }
}
