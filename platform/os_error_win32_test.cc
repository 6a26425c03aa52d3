#include "platform/os_error.h"

#include <gtest/gtest.h>

#include <utility>

#include "platform/failure.h"
#include "platform/kernel32.h"

namespace trackrelay {
namespace {

TEST(WindowsErrorTest, MapsGetLastErrorCodesOntoFailureNumbers) {
  const std::pair<DWORD, int> cases[] = {
      {ERROR_FILE_NOT_FOUND, kFileNotFound},      {ERROR_PATH_NOT_FOUND, kPathNotFound},
      {ERROR_FILE_EXISTS, kFileAlreadyExists},    {ERROR_ALREADY_EXISTS, kFileAlreadyExists},
      {ERROR_ACCESS_DENIED, kPermissionDenied},   {ERROR_SHARING_VIOLATION, kPermissionDenied},
      {ERROR_NOT_READY, kDiskNotReady},           {ERROR_HANDLE_EOF, kInputPastEnd},
      {ERROR_INVALID_PARAMETER, kDeviceIoError},  {ERROR_DISK_FULL, kDeviceIoError},
      {ERROR_BAD_NETPATH, kDeviceIoError},        {ERROR_SUCCESS, kDeviceIoError},
  };
  for (const auto& [error, number] : cases) EXPECT_EQ(FailureNumberOfError(error), number) << error;
}

}  // namespace
}  // namespace trackrelay
