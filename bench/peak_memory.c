/* Peak resident memory of one run of a program: runs the command given after "--" RUNS times,
 * each with standard input from /dev/null (or the file STDIN when given) and standard output to
 * /dev/null, and prints the largest ru_maxrss. Written in C and linked statically so that its
 * own few hundred KiB, which a child has until it execs, stay below what is measured.
 *
 *   peak_memory RUNS [STDIN] -- PROGRAM [ARG...]
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int separator = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      separator = i;
      break;
    }
  }
  if (separator < 2 || separator + 1 >= argc || separator > 3) {
    fprintf(stderr, "usage: peak_memory RUNS [STDIN] -- PROGRAM [ARG...]\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  const char* input = separator == 3 ? argv[2] : "/dev/null";
  long peak = 0;
  for (int run = 0; run < runs; ++run) {
    pid_t pid = fork();
    if (pid < 0) {
      perror("fork");
      return 1;
    }
    if (pid == 0) {
      int in = open(input, O_RDONLY);
      int out = open("/dev/null", O_WRONLY);
      if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(126);
      execv(argv[separator + 1], argv + separator + 1);
      _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
      perror("wait4");
      return 1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) >= 126) {
      fprintf(stderr, "peak_memory: %s did not run (status %d)\n", argv[separator + 1], status);
      return 1;
    }
    if (usage.ru_maxrss > peak) peak = usage.ru_maxrss;
  }
  printf("%ld\n", peak);
  return 0;
}
