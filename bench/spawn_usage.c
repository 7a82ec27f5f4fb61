/* Runs one command and prints its wall time (ns), user and system CPU time (us) and peak
 * resident memory (kB). A tiny static program, so that the peak the kernel reports for the
 * child (which counts the memory it had between fork and exec) is the command's own. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = vfork();
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 2;
  clock_gettime(CLOCK_MONOTONIC, &end);
  long long wall = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
  printf("%lld %ld %ld %ld %d\n", wall, usage.ru_utime.tv_sec * 1000000L + usage.ru_utime.tv_usec,
         usage.ru_stime.tv_sec * 1000000L + usage.ru_stime.tv_usec, usage.ru_maxrss,
         WIFEXITED(status) ? WEXITSTATUS(status) : 128);
  return 0;
}
