/*
 * acct_launch PROGRAM [ARGS...]: runs PROGRAM once, its standard output
 * sent to /dev/null, and prints "<wall ns> <peak RSS KiB> <exit status>".
 *
 * The peak is the ru_maxrss that wait4 reports for the child. A forked
 * child starts as a copy of its parent and the kernel counts that copy's
 * resident pages in the child's peak, so the benchmark (which holds the
 * whole account cache) does not fork the command itself: it starts this
 * small program, whose own few hundred KiB are all a child inherits.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: acct_launch PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) {
        perror("acct_launch: fork");
        return 2;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
            _exit(126);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("acct_launch: wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long ns = (long long)(end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%lld %ld %d\n", ns, usage.ru_maxrss, code);
    return 0;
}
