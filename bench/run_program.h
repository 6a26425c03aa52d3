// Runs a program once, as a web server runs a CGI program, and collects its page: for the drivers
// that time the program. The environment is the program's whole environment; its input is empty.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace trackrelay::bench {

struct Page {
  bool ran = false;
  int status = -1;  // or 128 + signal
  std::string output;
};

// Runs the program with this environment and reads its standard output to the end.
inline Page RunOnce(const std::string& program, const std::vector<std::string>& environment) {
  Page page;
  std::vector<char*> envp;
  for (const std::string& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  int out[2];
  if (pipe(out) != 0) return page;
  const pid_t pid = fork();
  if (pid < 0) return page;
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  close(out[1]);
  char buffer[65536];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) page.output.append(buffer, static_cast<std::size_t>(got));
    else if (errno != EINTR) break;
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  page.ran = true;
  page.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return page;
}

}  // namespace trackrelay::bench
