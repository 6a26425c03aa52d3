#include "platform/testing/scratch_handle.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace trackrelay {

struct ScratchHandle::State {
  int fd = -1;           // the handle given out
  int drain_fd = -1;     // the reading end of a pipe
  std::string path;      // the file, if any
  std::string drained;
  std::thread drainer;
};

ScratchHandle ScratchHandle::File(const std::string& initial) {
  auto* state = new State;
  char name[] = "/tmp/trackrelay-scratch-XXXXXX";
  state->fd = mkstemp(name);
  if (state->fd < 0) throw std::runtime_error("mkstemp failed");
  state->path = name;
  WriteAll(HandleFromDescriptor(state->fd), initial);
  lseek(state->fd, 0, SEEK_SET);
  return ScratchHandle(state);
}

ScratchHandle ScratchHandle::Pipe() {
  auto* state = new State;
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  state->fd = fds[1];
  state->drain_fd = fds[0];
  state->drainer = std::thread([state] { state->drained = ReadAll(HandleFromDescriptor(state->drain_fd)); });
  return ScratchHandle(state);
}

ScratchHandle ScratchHandle::Input(const std::string& bytes) {
  ScratchHandle input = File(bytes);
  return input;
}

ScratchHandle::ScratchHandle(ScratchHandle&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }

ScratchHandle::~ScratchHandle() {
  if (state_ == nullptr) return;
  if (state_->fd >= 0) close(state_->fd);
  if (state_->drainer.joinable()) state_->drainer.join();
  if (state_->drain_fd >= 0) close(state_->drain_fd);
  if (!state_->path.empty()) unlink(state_->path.c_str());
  delete state_;
}

HANDLE ScratchHandle::handle() const { return HandleFromDescriptor(state_->fd); }

std::string ScratchHandle::Contents() {
  if (state_->drainer.joinable()) {
    close(state_->fd);
    state_->fd = -1;
    state_->drainer.join();
    return state_->drained;
  }
  if (state_->drain_fd >= 0) return state_->drained;
  int fd = open(state_->path.c_str(), O_RDONLY);
  std::string out = ReadAll(HandleFromDescriptor(fd));
  close(fd);
  return out;
}

}  // namespace trackrelay
