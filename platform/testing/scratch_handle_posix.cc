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

namespace {

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) throw std::runtime_error("scratch write failed");
    done += static_cast<std::size_t>(put);
  }
}

std::string ReadAll(int fd) {
  std::string out;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(got));
  return out;
}

}  // namespace

ScratchHandle ScratchHandle::File(const std::string& initial) {
  auto* state = new State;
  char name[] = "/tmp/trackrelay-scratch-XXXXXX";
  state->fd = mkstemp(name);
  if (state->fd < 0) throw std::runtime_error("mkstemp failed");
  state->path = name;
  WriteAll(state->fd, initial);
  lseek(state->fd, 0, SEEK_SET);
  return ScratchHandle(state);
}

ScratchHandle ScratchHandle::Pipe() {
  auto* state = new State;
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  state->fd = fds[1];
  state->drain_fd = fds[0];
  state->drainer = std::thread([state] { state->drained = ReadAll(state->drain_fd); });
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
  std::string out = ReadAll(fd);
  close(fd);
  return out;
}

}  // namespace trackrelay
