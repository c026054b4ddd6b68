// peak_rss REPORT PROGRAM [ARGS...]: runs PROGRAM with this process's standard streams and environment,
// waits for it, writes its peak resident size in KiB to the file REPORT and exits as it did (its exit
// status, or 128 plus the signal that ended it).
//
// Why a program of its own: the kernel carries a process's high-water mark across exec, so a child
// started straight from a large process (a test binary that has just read 64 MiB, say) reports that
// process's peak, not its own. This helper is small and forks before it execs, so the peak it reports is
// the program's.

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: peak_rss REPORT PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    const pid_t child = ::fork();
    if (child < 0) return 2;
    if (child == 0) {
        // The program ends with this helper, so a caller that kills a hung run leaves nothing behind.
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execv(argv[2], argv + 2);
        ::_exit(127);
    }
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
