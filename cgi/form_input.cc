#include "cgi/form_input.h"

#include <algorithm>
#include <new>

#include "cgi/cgi_environment.h"
#include "cgi/conversions.h"
#include "platform/failure.h"
#include "platform/platform.h"

namespace trackrelay {

std::string FormInput;
std::int32_t FieldCount = 0;
std::vector<FormField> FormFieldTable;

std::string ReadRequestBody(std::int32_t content_length) {
  if (content_length < 0) RaiseFailure(kInvalidArgument);
  // A web server hands the body over a pipe, in pieces: read until all of it has come or the
  // input ends. The buffer grows with what arrives, so a CONTENT_LENGTH that promises far more
  // than is sent costs only what is sent.
  constexpr std::size_t kChunk = 64 * 1024;
  std::string body;
  std::size_t wanted = static_cast<std::size_t>(content_length);
  while (body.size() < wanted) {
    std::size_t ask = std::min(kChunk, wanted - body.size());
    std::size_t at = body.size();
    body.resize(at + ask);
    DWORD got = 0;
    ReadFile(CgiEnvironment.StdIn, body.data() + at, static_cast<DWORD>(ask), &got, nullptr);
    body.resize(at + std::min<std::size_t>(got, ask));
    if (got == 0) break;
  }
  return body;
}

std::string DecodeFormValue(std::string_view raw) {
  std::string plus_decoded(raw);
  std::replace(plus_decoded.begin(), plus_decoded.end(), '+', ' ');
  std::string value;
  value.reserve(plus_decoded.size());
  for (std::size_t k = 0; k < plus_decoded.size();) {
    if (plus_decoded[k] != '%') {
      value += plus_decoded[k++];
      continue;
    }
    std::string hex = "&H";
    hex.append(plus_decoded.substr(k + 1, 2));
    value += static_cast<char>(static_cast<unsigned char>(RoundToInt32(NumericValue(hex))));
    k += 1 + std::min<std::size_t>(2, plus_decoded.size() - k - 1);
  }
  return value;
}

std::vector<FormField> SplitFormInput(std::string_view input, std::int32_t field_count) {
  std::vector<FormField> table(static_cast<std::size_t>(field_count) + 1);
  std::size_t pos = 0;
  for (std::int32_t i = 0; i < field_count; ++i) {
    std::size_t eq = input.find('=', pos);
    if (eq == std::string_view::npos) break;
    std::size_t amp = input.find('&', eq);
    if (amp == std::string_view::npos) amp = input.size();
    table[static_cast<std::size_t>(i)].name.assign(input.substr(pos, eq - pos));
    table[static_cast<std::size_t>(i)].value = DecodeFormValue(input.substr(eq + 1, amp - eq - 1));
    pos = amp + 1;
  }
  return table;
}

void DecodeFormInput() {
  const CgiEnvironmentRecord& env = CgiEnvironment;
  FormInput = env.REQUEST_METHOD == "POST" ? ReadRequestBody(env.ContentLength) : env.QUERY_STRING;
  FieldCount = static_cast<std::int32_t>(std::count(FormInput.begin(), FormInput.end(), '='));
  FormFieldTable = SplitFormInput(FormInput, FieldCount);
}

namespace {

std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

}  // namespace

std::string LookupFormValue(std::string_view name) {
  // The slot counter is a signed 16-bit number: 32768 fields or more cannot be scanned.
  if (FieldCount - 1 > 32767) RaiseFailure(kOverflow);
  const std::string wanted = UpperCase(name);
  std::string result;
  for (std::int32_t i = 0; i < FieldCount; ++i) {
    const FormField& field = FormFieldTable[static_cast<std::size_t>(i)];
    if (field.name.size() != wanted.size() || UpperCase(field.name) != wanted) continue;
    if (result.empty()) {
      result = field.value;
    } else {
      result += ';';
      result += field.value;
    }
  }
  // Scanning slot 32767 steps the counter past its range.
  if (FieldCount == 32768) RaiseFailure(kOverflow);
  return result;
}

}  // namespace trackrelay
