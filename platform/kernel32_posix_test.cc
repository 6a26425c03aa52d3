// The kernel32 routines on POSIX where they differ from a plain call of the system.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/kernel32.h"

namespace {

// With standard descriptors closed at the start, as a careless web server may start the
// program, the files it opens later must never take their numbers: what the page writes would
// land in the claims file or a request file. Each case runs in a child of its own.
TEST(Kernel32PosixTest, AClosedStandardDescriptorIsNeverTakenByAFileOpenedLater) {
  struct Case {
    const char* what;
    bool close_in, close_out, close_err;
  };
  const Case cases[] = {
      {"output closed", false, true, false},
      {"input closed", true, false, false},
      {"error closed", false, false, true},
      {"output and error closed", false, true, true},
      {"all three closed", true, true, true},
  };
  char scratch[] = "/tmp/trackrelay-kernel32-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  const std::string file = std::string(scratch) + "/claims";
  for (const Case& c : cases) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.close_in) close(0);
      if (c.close_out) close(1);
      if (c.close_err) close(2);
      const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
      const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
      const int opened = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
      if (opened <= 2) _exit(10);
      for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) _exit(11);
      }
      DWORD count = 0;
      WriteFile(out, "HTTP/1.0 200 OK\r\n", 17, &count, nullptr);
      char byte;
      ReadFile(in, &byte, 1, &count, nullptr);
      if (c.close_in && count != 0) _exit(12);
      struct stat st;
      if (fstat(opened, &st) != 0 || st.st_size != 0) _exit(13);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << c.what;
    EXPECT_EQ(WEXITSTATUS(status), 0) << c.what;
  }
  std::remove(file.c_str());
  rmdir(scratch);
}

}  // namespace
