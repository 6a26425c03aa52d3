// The kernel32 routines on POSIX, over file descriptors.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/kernel32.h"

// A web server may start the program with a standard descriptor closed. The first file the
// program then opened would take its number: the page would be written into the claims file or
// a request file, and the end of the response would close that file under the request. So each
// closed one is held open on /dev/null before any file is opened: reads find nothing and writes
// are lost, as they are on a handle that is not valid.
void HoldStandardDescriptors() {
  static bool held = false;
  if (held) return;
  held = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: fd itself, since every lower one is open by now.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

HANDLE GetStdHandle(DWORD nStdHandle) {
  HoldStandardDescriptors();
  switch (nStdHandle) {
    case STD_INPUT_HANDLE:
      return HandleFromDescriptor(0);
    case STD_OUTPUT_HANDLE:
      // A browser that goes away closes the web server's pipe; the page is then lost
      // silently instead of the process being killed by SIGPIPE.
      signal(SIGPIPE, SIG_IGN);
      return HandleFromDescriptor(1);
    case STD_ERROR_HANDLE:
      return HandleFromDescriptor(2);
  }
  return INVALID_HANDLE_VALUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED) {
  ssize_t got;
  do {
    got = read(DescriptorFromHandle(hFile), lpBuffer, nNumberOfBytesToRead);
  } while (got < 0 && errno == EINTR);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = got > 0 ? static_cast<DWORD>(got) : 0;
  return got >= 0;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED) {
  const char* bytes = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  BOOL ok = 1;
  while (done < nNumberOfBytesToWrite) {
    ssize_t put = write(DescriptorFromHandle(hFile), bytes + done, nNumberOfBytesToWrite - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ok = 0;
      break;
    }
    done += static_cast<DWORD>(put);
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return ok;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  // As on Windows: without a high part the distance is a signed 32-bit number; with one,
  // the two parts form a signed 64-bit distance.
  std::int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh != nullptr) {
    distance = static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                         static_cast<std::uint32_t>(lDistanceToMove));
  }
  int whence = dwMoveMethod == FILE_BEGIN ? SEEK_SET : dwMoveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  off_t at = lseek(DescriptorFromHandle(hFile), static_cast<off_t>(distance), whence);
  if (at < 0) return INVALID_SET_FILE_POINTER;
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<std::int64_t>(at) >> 32);
  return static_cast<DWORD>(static_cast<std::uint64_t>(at) & 0xFFFFFFFFu);
}

BOOL SetEndOfFile(HANDLE hFile) {
  int fd = DescriptorFromHandle(hFile);
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return 0;
  int rc;
  do {
    rc = ftruncate(fd, at);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

void Sleep(DWORD dwMilliseconds) {
  timespec left{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) < 0 && errno == EINTR) {
  }
}

BOOL CloseHandle(HANDLE hObject) { return close(DescriptorFromHandle(hObject)) == 0; }
