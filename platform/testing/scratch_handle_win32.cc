#include "platform/testing/scratch_handle.h"

#include <stdexcept>
#include <thread>

namespace trackrelay {

struct ScratchHandle::State {
  HANDLE handle = INVALID_HANDLE_VALUE;  // the handle given out
  HANDLE drain = INVALID_HANDLE_VALUE;   // the reading end of a pipe
  std::string path;                      // the file, if any
  std::string drained;
  std::thread drainer;
};

ScratchHandle ScratchHandle::File(const std::string& initial) {
  char folder[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(folder, "trs", 0, name) == 0) {
    throw std::runtime_error("no temporary file name");
  }
  auto* state = new State;
  state->path = name;
  state->handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (state->handle == INVALID_HANDLE_VALUE) {
    DeleteFileA(name);
    delete state;
    throw std::runtime_error("cannot create the scratch file");
  }
  WriteAll(state->handle, initial);
  SetFilePointer(state->handle, 0, nullptr, FILE_BEGIN);
  return ScratchHandle(state);
}

ScratchHandle ScratchHandle::Pipe() {
  auto* state = new State;
  if (!CreatePipe(&state->drain, &state->handle, nullptr, 0)) {
    delete state;
    throw std::runtime_error("CreatePipe failed");
  }
  state->drainer = std::thread([state] { state->drained = ReadAll(state->drain); });
  return ScratchHandle(state);
}

ScratchHandle ScratchHandle::Input(const std::string& bytes) { return File(bytes); }

ScratchHandle::ScratchHandle(ScratchHandle&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }

ScratchHandle::~ScratchHandle() {
  if (state_ == nullptr) return;
  if (state_->handle != INVALID_HANDLE_VALUE) CloseHandle(state_->handle);
  if (state_->drainer.joinable()) state_->drainer.join();
  if (state_->drain != INVALID_HANDLE_VALUE) CloseHandle(state_->drain);
  if (!state_->path.empty()) DeleteFileA(state_->path.c_str());
  delete state_;
}

HANDLE ScratchHandle::handle() const { return state_->handle; }

std::string ScratchHandle::Contents() {
  if (state_->drainer.joinable()) {
    // Closing the writing end lets the drainer see the end of the pipe.
    CloseHandle(state_->handle);
    state_->handle = INVALID_HANDLE_VALUE;
    state_->drainer.join();
    return state_->drained;
  }
  if (state_->drain != INVALID_HANDLE_VALUE) return state_->drained;
  HANDLE file = CreateFileA(state_->path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot reopen the scratch file");
  std::string out = ReadAll(file);
  CloseHandle(file);
  return out;
}

}  // namespace trackrelay
