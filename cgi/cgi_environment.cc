#include "cgi/cgi_environment.h"

#include <stdlib.h>

#include "cgi/conversions.h"

namespace trackrelay {

CgiEnvironmentRecord CgiEnvironment;

const char* const kAdministratorAddress = TRACKRELAY_ADMIN_ADDRESS;

namespace {

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

void LoadCgiEnvironment() {
  CgiEnvironmentRecord& env = CgiEnvironment;
  env.StdIn = GetStdHandle(STD_INPUT_HANDLE);
  env.StdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  env.AdministratorAddress = kAdministratorAddress;
  env.SERVER_SOFTWARE = Variable("SERVER_SOFTWARE");
  env.SERVER_NAME = Variable("SERVER_NAME");
  env.REQUEST_METHOD = Variable("REQUEST_METHOD");
  env.HTTP_REFERER = Variable("HTTP_REFERER");
  env.REMOTE_HOST = Variable("REMOTE_HOST");
  env.REMOTE_ADDR = Variable("REMOTE_ADDR");
  env.HTTP_USER_AGENT = Variable("HTTP_USER_AGENT");
  env.CONTENT_LENGTH = Variable("CONTENT_LENGTH");
  env.SCRIPT_NAME = Variable("SCRIPT_NAME");
  env.SERVER_URL = Variable("SERVER_URL");
  env.GATEWAY_INTERFACE = Variable("GATEWAY_INTERFACE");
  env.SERVER_PROTOCOL = Variable("SERVER_PROTOCOL");
  env.SERVER_PORT = Variable("SERVER_PORT");
  env.CONTENT_TYPE = Variable("CONTENT_TYPE");
  env.QUERY_STRING = Variable("QUERY_STRING");
  env.PATH_INFO = Variable("PATH_INFO");
  env.ContentLength = RoundToInt32(NumericValue(env.CONTENT_LENGTH));
}

}  // namespace trackrelay
