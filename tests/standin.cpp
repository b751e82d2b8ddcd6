// Stand-in for the watched program, started under whatever file name a test
// copies it to. It says how it was started and then waits to be ended.
//   STANDIN_REPORT=FILE   append "PID ARG..." to FILE once started
//   STANDIN_FLOOD=BYTES   first write that many bytes to standard output
//   STANDIN_EXIT=1        exit at once instead of waiting
//   STANDIN_CRASH=1       die of SIGSEGV at once
//   STANDIN_NO_TERM=1     ignore SIGTERM
//   STANDIN_FORK=same     fork a child that stays this program (reported " child")
//   STANDIN_FORK=other    fork a child that becomes "sleep" (reported " child")
//   STANDIN_LIFETIME=SECS end by itself after that long
//   STANDIN_KERNEL_NAME=NAME  take NAME as its kernel name (/proc/PID/comm)
//   STANDIN_MAIN_EXITS=1  end the main thread only; a second thread waits on
//   STANDIN_BECOME_ROOT=1 a set-user-ID root copy makes root its real user too,
//                         so that no other user can signal it
//   STANDIN_DIE_WITH_PARENT=1  end when the process that started it ends, so
//                         that a test that dies leaves nothing holding its output
// An empty value counts as unset.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const char *knob(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
}

static void report(const char *file, int argc, char **argv, const char *suffix)
{
    std::string line = std::to_string(getpid());
    for (int i = 1; i < argc; ++i)
        line += std::string(" ") + argv[i];
    line += suffix;
    line += '\n';
    const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line.data(), line.size()) < 0)
            perror("stand-in report");
        close(fd);
    }
}

int main(int argc, char **argv)
{
    const char *name = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
    if (knob("STANDIN_BECOME_ROOT") && setuid(0) != 0)
        perror("stand-in setuid");
    const bool dieWithParent = knob("STANDIN_DIE_WITH_PARENT") != nullptr;
    if (dieWithParent)
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (const char *kernelName = knob("STANDIN_KERNEL_NAME"))
        prctl(PR_SET_NAME, kernelName);
    const char *reportFile = knob("STANDIN_REPORT");
    if (reportFile)
        report(reportFile, argc, argv, "");

    if (const char *flood = knob("STANDIN_FLOOD")) {
        std::vector<char> block(64 * 1024, 'x');
        for (unsigned long long left = std::strtoull(flood, nullptr, 10); left > 0;) {
            const size_t n = left < block.size() ? size_t(left) : block.size();
            if (write(STDOUT_FILENO, block.data(), n) < 0)
                return 1;
            left -= n;
        }
        if (reportFile)
            report(reportFile, argc, argv, " flooded");
    } else {
        std::printf("%s: started with", name);
        for (int i = 1; i < argc; ++i)
            std::printf(" \"%s\"", argv[i]);
        std::printf("\n");
        std::fflush(stdout);
    }

    // SIGALRM's default action ends the process, wherever it waits.
    const char *lifetimeText = knob("STANDIN_LIFETIME");
    const unsigned lifetime = lifetimeText ? unsigned(std::strtoul(lifetimeText, nullptr, 10)) : 0;
    if (knob("STANDIN_NO_TERM"))
        signal(SIGTERM, SIG_IGN);
    if (const char *fork = knob("STANDIN_FORK")) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (dieWithParent)
                prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (reportFile)
                report(reportFile, argc, argv, " child");
            if (std::strcmp(fork, "other") == 0)
                execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
            alarm(lifetime);
            for (;;)
                pause();
        }
    }
    if (knob("STANDIN_CRASH"))
        raise(SIGSEGV);
    if (knob("STANDIN_EXIT"))
        return 0;
    alarm(lifetime);
    if (knob("STANDIN_MAIN_EXITS")) {
        // The process lives on in this thread, its leader a zombie.
        pthread_t waiter;
        pthread_create(&waiter, nullptr, [](void *) -> void * {
            for (;;)
                pause();
        }, nullptr);
        pthread_exit(nullptr);
    }
    for (;;)
        pause();
}
