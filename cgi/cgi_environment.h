// The CGI environment of the request: the standard handles, the sixteen CGI variables and ContentLength.
// Written once by LoadCgiEnvironment in phase 1, read by everything after it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/kernel32.h"

namespace trackrelay {

struct CgiEnvironmentRecord {
  HANDLE StdIn = INVALID_HANDLE_VALUE;
  HANDLE StdOut = INVALID_HANDLE_VALUE;
  std::string AdministratorAddress;
  std::string SERVER_SOFTWARE;
  std::string SERVER_NAME;
  std::string REQUEST_METHOD;
  std::string HTTP_REFERER;
  std::string REMOTE_HOST;
  std::string REMOTE_ADDR;
  std::string HTTP_USER_AGENT;
  std::string CONTENT_LENGTH;
  std::string SCRIPT_NAME;
  std::string SERVER_URL;
  std::string GATEWAY_INTERFACE;
  std::string SERVER_PROTOCOL;
  std::string SERVER_PORT;
  std::string CONTENT_TYPE;
  std::string QUERY_STRING;
  std::string PATH_INFO;
  std::int32_t ContentLength = 0;
};

extern CgiEnvironmentRecord CgiEnvironment;

// The administrator's mail address this build was made with.
extern const char* const kAdministratorAddress;

// Fills CgiEnvironment. An unset variable gives empty text. Raises kOverflow when
// CONTENT_LENGTH lies outside the signed 32-bit range, after every field but ContentLength is set.
void LoadCgiEnvironment();

}  // namespace trackrelay
