#include "benchutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace bench {

namespace {

std::string folderPrefix(pid_t run)
{
    return "watchdog-bench-" + std::to_string(run) + "-";
}

} // namespace

void cleanUpAfterwards()
{
    // The write end lives as long as this process and no longer (close on exec).
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return;
    const pid_t run = getpid();
    if (fork() == 0) {
        signal(SIGINT, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        close(ends[1]);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        char byte;
        while (read(ends[0], &byte, 1) < 0 && errno == EINTR) {
        }
        const std::string prefix = folderPrefix(run);
        std::error_code error;
        for (auto it = std::filesystem::directory_iterator("/tmp", error);
             !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            if (it->path().filename().string().compare(0, prefix.size(), prefix) == 0) {
                std::error_code ignored;
                std::filesystem::remove_all(it->path(), ignored);
            }
        }
        _exit(0);
    }
    close(ends[0]);
}

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

int processCount()
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(proc))
        count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
    closedir(proc);
    return count;
}

pid_t start(const std::string &path, const std::vector<std::string> &args,
            const std::vector<std::string> &env, const std::string &dir)
{
    // Everything the child needs is made before the fork: after a vfork it may only make system calls.
    std::vector<std::string> envStrings(env);
    for (char **entry = environ; *entry; ++entry) {
        const char *equals = std::strchr(*entry, '=');
        const std::size_t nameLength = equals ? std::size_t(equals - *entry) + 1 : std::strlen(*entry);
        const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string &e) {
            return e.compare(0, nameLength, *entry, nameLength) == 0;
        });
        if (!replaced)
            envStrings.emplace_back(*entry);
    }
    std::vector<char *> envp;
    for (std::string &entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const char *workDir = dir.empty() ? nullptr : dir.c_str();

    const pid_t pid = vfork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int null = open("/dev/null", O_RDWR);
        if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(127);
        if (workDir && chdir(workDir) != 0)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

void end(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitFor(pid);
}

void reapEnded()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool isAlive(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

namespace {

long statusField(pid_t pid, const char *field)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
    return -1;
}

} // namespace

long residentKiB(pid_t pid)
{
    return statusField(pid, "VmRSS");
}

long anonymousKiB(pid_t pid)
{
    return statusField(pid, "RssAnon");
}

long contextSwitches(pid_t pid)
{
    std::error_code error;
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (auto it = std::filesystem::directory_iterator(tasks, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string status = readFile(it->path().string() + "/status");
        for (const char *field : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"}) {
            const std::size_t at = status.find(field);
            if (at != std::string::npos)
                total += std::strtol(status.c_str() + at + std::strlen(field), nullptr, 10);
        }
    }
    return error ? -1 : total;
}

int openDescriptors(pid_t pid)
{
    std::error_code error;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return error ? -1 : count;
}

long long cpuNs(pid_t pid)
{
    const std::string schedstat = readFile("/proc/" + std::to_string(pid) + "/schedstat");
    return schedstat.empty() ? -1 : std::strtoll(schedstat.c_str(), nullptr, 10);
}

long long cpuTicks(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long total = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14)
            total += std::strtoll(field.c_str(), nullptr, 10);
    }
    return total;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

TempDir::TempDir()
{
    std::string pattern = "/tmp/" + folderPrefix(getpid()) + "XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary folder");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::copyIn(const std::string &from, const std::string &name) const
{
    const std::string to = m_path + "/" + name;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
    return to;
}

Population::Population(std::string sleeper)
    : m_sleeper(std::move(sleeper))
{
}

Population::~Population()
{
    resize(0);
}

int Population::resize(int total)
{
    const int others = processCount() - int(m_pids.size());
    const std::size_t wanted = std::size_t(std::max(0, total - others));
    // All are signalled before any is reaped, so that they end side by side.
    for (std::size_t i = wanted; i < m_pids.size(); ++i)
        kill(m_pids[i], SIGKILL);
    for (std::size_t i = wanted; i < m_pids.size(); ++i)
        waitFor(m_pids[i]);
    m_pids.resize(std::min(wanted, m_pids.size()));
    while (m_pids.size() < wanted) {
        const pid_t pid = start(m_sleeper);
        if (pid < 0)
            throw std::runtime_error("cannot start a sleeper");
        m_pids.push_back(pid);
    }
    return processCount();
}

} // namespace bench
