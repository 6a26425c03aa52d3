// The remote host's pause between two looks at the outbound folder, which a request renamed into
// the folder ends at once on Linux. Both ways of serving (the simulator and --exec) wait on it.
#pragma once

#include <chrono>
#include <filesystem>

namespace trackrelay::remote_host {

// On Linux a request file renamed into the folder (or written there and closed) ends the pause
// at once, so that a request is taken within a millisecond or two; where the folder cannot be
// watched the pause is the whole interval. A signal ends it too.
class FolderPause {
 public:
  explicit FolderPause(const std::filesystem::path& folder);
  ~FolderPause();
  FolderPause(const FolderPause&) = delete;
  FolderPause& operator=(const FolderPause&) = delete;

  void Wait(std::chrono::milliseconds longest);

 private:
  int watch_ = -1;
};

}  // namespace trackrelay::remote_host
