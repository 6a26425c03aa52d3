// Failures: the one way trackrelay reports that an operation could not be done.
// A failure carries a number and a message text; traps catch it and write a page that shows them.
#pragma once

#include <exception>
#include <string>

namespace trackrelay {

// The failure numbers every module maps its errors onto. The browser sees them on the
// fatal error page, so they are fixed for good.
enum FailureNumber : int {
  kInvalidArgument = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kTypeMismatch = 13,
  kFileNotFound = 53,
  kDeviceIoError = 57,
  kFileAlreadyExists = 58,
  kInputPastEnd = 62,
  kPermissionDenied = 70,
  kDiskNotReady = 71,
  kPathNotFound = 76,
};

class Failure : public std::exception {
 public:
  Failure(int number, std::string message) : number_(number), message_(std::move(message)) {}
  explicit Failure(int number) : Failure(number, FailureMessage(number)) {}

  int number() const { return number_; }
  const std::string& message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  // The message text that belongs to a failure number of the table above.
  static std::string FailureMessage(int number);

 private:
  int number_;
  std::string message_;
};

// A file that a name led to was replaced or removed, by another client of a network share, between
// the look-up of the name and its use (ESTALE): a device I/O failure, after which the same work
// started over from the name may succeed.
class StaleFileFailure : public Failure {
 public:
  StaleFileFailure() : Failure(kDeviceIoError) {}
};

// A lock that another process held for all of the time given to wait for it: a permission
// failure, after which nothing was opened or changed.
class LockTimeoutFailure : public Failure {
 public:
  LockTimeoutFailure() : Failure(kPermissionDenied) {}
};

[[noreturn]] void RaiseFailure(int number);

}  // namespace trackrelay
