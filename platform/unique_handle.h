// Owners of what the file systems and the arrival watch open: a descriptor or a HANDLE closes
// when its owner goes, on every way out, a failure's included.
#pragma once

#include <utility>

#include "platform/kernel32.h"

#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>
#endif

namespace trackrelay {

// Owns one open thing of the kind Traits describes: Traits::Type, its Traits::Invalid() value,
// and Traits::Close(value), which tells whether the close succeeded.
template <typename Traits>
class UniqueOwner {
 public:
  using Type = typename Traits::Type;

  UniqueOwner() = default;
  explicit UniqueOwner(Type value) : value_(value) {}
  UniqueOwner(UniqueOwner&& other) noexcept : value_(other.Release()) {}
  UniqueOwner& operator=(UniqueOwner&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  ~UniqueOwner() { Reset(); }

  Type get() const { return value_; }
  bool valid() const { return value_ != Traits::Invalid(); }
  // Gives up the ownership: what stays open for the rest of the process (a claim), or what
  // another owner takes.
  Type Release() { return std::exchange(value_, Traits::Invalid()); }
  // Closes what it owns (never retried: the number or handle may already be another file's) and
  // takes value in its place.
  void Reset(Type value = Traits::Invalid()) {
    const Type old = std::exchange(value_, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }
  // Closes now, and tells whether the close succeeded: a network file system may report a failed
  // write only at the close. Nothing is left to close afterwards, whatever it says.
  bool Close() {
    const Type old = Release();
    return old == Traits::Invalid() || Traits::Close(old);
  }

 private:
  Type value_ = Traits::Invalid();
};

#ifdef _WIN32

// A file, folder or lock file opened with CreateFile.
struct FileHandleTraits {
  using Type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE handle) { return CloseHandle(handle) != 0; }
};
using UniqueHandle = UniqueOwner<FileHandleTraits>;

// An event or a mutex, which CreateEvent and CreateMutex answer with no handle at all when they fail.
struct EventHandleTraits {
  using Type = HANDLE;
  static HANDLE Invalid() { return nullptr; }
  static bool Close(HANDLE handle) { return CloseHandle(handle) != 0; }
};
using UniqueEvent = UniqueOwner<EventHandleTraits>;
using UniqueMutex = UniqueOwner<EventHandleTraits>;

// A folder search of FindFirstFile, which FindClose ends.
struct FindHandleTraits {
  using Type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE handle) { return FindClose(handle) != 0; }
};
using UniqueFind = UniqueOwner<FindHandleTraits>;

#else

// A file descriptor.
struct DescriptorTraits {
  using Type = int;
  static int Invalid() { return -1; }
  static bool Close(int fd) { return close(fd) == 0; }
};
using UniqueDescriptor = UniqueOwner<DescriptorTraits>;

// A folder's listing of opendir or fdopendir, which closes its descriptor with it.
struct ListingTraits {
  using Type = DIR*;
  static DIR* Invalid() { return nullptr; }
  static bool Close(DIR* listing) { return closedir(listing) == 0; }
};
using UniqueListing = UniqueOwner<ListingTraits>;

#endif

}  // namespace trackrelay
