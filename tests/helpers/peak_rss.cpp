// peak_rss REPORT PROGRAM [ARGS...]: runs PROGRAM with this process's standard streams and environment,
// waits for it, writes its peak resident size in KiB to the file REPORT and exits as it did (its exit
// status, or 128 plus the signal that ended it).
//
// Why a program of its own: the kernel carries a process's high-water mark across exec, so a child
// started straight from a large process (a test binary that has just read 64 MiB, say) reports that
// process's peak, not its own. This helper is small and forks before it execs, so the peak it reports is
// the program's. The stop signals a caller sends it (SIGTERM, SIGHUP, SIGINT) are passed on to the
// program, so the helper stands in for it.

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

constexpr int kPassedOn[] = {SIGTERM, SIGHUP, SIGINT};
volatile pid_t g_child = 0;

void pass_on(int signal_number) { (void)::kill(g_child, signal_number); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: peak_rss REPORT PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    // Held until the program's id is known, so a signal sent at once is passed on rather than lost.
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (const int signal_number : kPassedOn) sigaddset(&stops, signal_number);
    (void)::sigprocmask(SIG_BLOCK, &stops, &before);
    const pid_t child = ::fork();
    if (child < 0) return 2;
    if (child == 0) {
        // The program ends with this helper, so a caller that kills a hung run leaves nothing behind.
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
        (void)::sigprocmask(SIG_SETMASK, &before, nullptr);
        ::execv(argv[2], argv + 2);
        ::_exit(127);
    }
    g_child = child;
    struct sigaction action {};
    action.sa_handler = pass_on;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : kPassedOn) (void)::sigaction(signal_number, &action, nullptr);
    (void)::sigprocmask(SIG_SETMASK, &before, nullptr);
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0) {
    }
    if (std::FILE* report = std::fopen(argv[1], "w")) {
        std::fprintf(report, "%ld\n", usage.ru_maxrss);
        std::fclose(report);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 2;
}
