// What a scratch handle does alike on both platforms, through the kernel32 routines.
#include "platform/testing/scratch_handle.h"

#include <stdexcept>

namespace trackrelay {

void ScratchHandle::WriteAll(HANDLE handle, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put, nullptr) || put == 0) {
      throw std::runtime_error("scratch write failed");
    }
    done += put;
  }
}

std::string ScratchHandle::ReadAll(HANDLE handle) {
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
  return out;
}

}  // namespace trackrelay
