#include "cgi/form_input.h"

#include <algorithm>
#include <limits>
#include <new>

#include "cgi/cgi_environment.h"
#include "cgi/conversions.h"
#include "platform/failure.h"
#include "platform/kernel32.h"
#include "platform/text_rules.h"

namespace trackrelay {

std::string FormInput;
std::int32_t FieldCount = 0;
FieldTable FormFieldTable;

std::string ReadRequestBody(std::int32_t content_length) {
  if (content_length < 0) RaiseFailure(kInvalidArgument);
  // A web server hands the body over a pipe, in pieces: read until all of it has come or the
  // input ends. It is read into blocks that are allocated as the bytes arrive, so a
  // CONTENT_LENGTH that promises far more than is sent costs only what is sent, and a large body
  // is never copied into a buffer twice its size on the way: the blocks are joined once at the
  // end, each freed as soon as it is copied.
  constexpr std::size_t kChunk = 64 * 1024;
  constexpr std::size_t kBlock = 256 * 1024;
  std::vector<std::string> blocks;
  std::size_t total = 0;
  const std::size_t wanted = static_cast<std::size_t>(content_length);
  while (total < wanted) {
    if (blocks.empty() || blocks.back().size() == blocks.back().capacity()) {
      blocks.emplace_back();
      blocks.back().reserve(std::min(kBlock, wanted - total));
    }
    std::string& block = blocks.back();
    // Within the block's own room, of which at least a byte is left: resizing never moves it.
    std::size_t ask = std::min({kChunk, wanted - total, block.capacity() - block.size()});
    std::size_t at = block.size();
    block.resize(at + ask);
    DWORD got = 0;
    ReadFile(CgiEnvironment.StdIn, block.data() + at, static_cast<DWORD>(ask), &got, nullptr);
    block.resize(at + std::min<std::size_t>(got, ask));
    total += std::min<std::size_t>(got, ask);
    if (got == 0) break;
  }
  if (blocks.size() == 1) return std::move(blocks.front());
  std::string body;
  body.reserve(total);
  for (std::string& block : blocks) {
    body += block;
    std::string().swap(block);
  }
  return body;
}

namespace {

// The bytes that one "%" escape at k of raw takes: itself and up to two characters after it.
std::size_t EscapeLength(std::string_view raw, std::size_t k) { return 1 + std::min<std::size_t>(2, raw.size() - k - 1); }

// How long raw is once decoded: each escape becomes one byte, every other byte stays one.
std::size_t DecodedLength(std::string_view raw) {
  std::size_t length = 0;
  for (std::size_t k = 0; k < raw.size(); ++length) k += raw[k] == '%' ? EscapeLength(raw, k) : 1;
  return length;
}

// Appends raw, plus and then percent decoded, to out.
void AppendDecodedValue(std::string_view raw, std::string& out) {
  for (std::size_t k = 0; k < raw.size();) {
    if (raw[k] == '+') {
      out += ' ';
      ++k;
    } else if (raw[k] != '%') {
      out += raw[k++];
    } else {
      // The escape's characters as plus decoding left them: a "+" among them is a blank, which
      // hexadecimal reading skips.
      const std::size_t length = EscapeLength(raw, k);
      std::string hex = "&H";
      for (std::size_t j = k + 1; j < k + length; ++j) hex += raw[j] == '+' ? ' ' : raw[j];
      out += static_cast<char>(static_cast<unsigned char>(RoundToInt32(NumericValue(hex))));
      k += length;
    }
  }
}

// Calls visit with where each filled slot of the table over input begins, slot 0 first: a slot
// takes the first "=" from where it begins, its value runs to the next "&", and the next slot
// begins after that "&".
template <typename Visit>
void ForEachFilledSlot(std::string_view input, std::int32_t field_count, Visit visit) {
  std::size_t begin = 0;
  for (std::int32_t i = 0; i < field_count; ++i) {
    std::size_t eq = input.find('=', begin);
    if (eq == std::string_view::npos) break;
    visit(begin);
    std::size_t amp = input.find('&', eq);
    if (amp == std::string_view::npos) break;
    begin = amp + 1;
  }
}

}  // namespace

std::string DecodeFormValue(std::string_view raw) {
  std::string value;
  value.reserve(DecodedLength(raw));
  AppendDecodedValue(raw, value);
  return value;
}

FieldTable::FieldTable(std::string_view input, std::int32_t field_count)
    : input_(input), field_count_(std::max<std::int32_t>(field_count, 0)) {
  if (input.size() > std::numeric_limits<std::uint32_t>::max()) RaiseFailure(kOutOfMemory);
  // Counted first, so that the table is allocated once at its size.
  std::size_t filled = 0;
  ForEachFilledSlot(input, field_count_, [&](std::size_t) { ++filled; });
  starts_.reserve(filled);
  ForEachFilledSlot(input, field_count_, [&](std::size_t begin) { starts_.push_back(static_cast<std::uint32_t>(begin)); });
}

std::string_view FieldTable::Name(std::size_t slot) const {
  if (slot >= starts_.size()) return {};
  const std::size_t begin = starts_[slot];
  return input_.substr(begin, input_.find('=', begin) - begin);
}

std::string_view FieldTable::RawValue(std::size_t slot) const {
  if (slot >= starts_.size()) return {};
  const std::size_t eq = input_.find('=', starts_[slot]);
  const std::size_t amp = input_.find('&', eq);
  return input_.substr(eq + 1, amp == std::string_view::npos ? std::string_view::npos : amp - eq - 1);
}

FormField FieldTable::Field(std::size_t slot) const {
  return FormField{std::string(Name(slot)), DecodeFormValue(RawValue(slot))};
}

FieldTable SplitFormInput(std::string_view input, std::int32_t field_count) { return FieldTable(input, field_count); }

void DecodeFormInput() {
  const CgiEnvironmentRecord& env = CgiEnvironment;
  FormFieldTable.clear();  // it reads the form input that is replaced now
  // Not a conditional expression: that would copy the body once more.
  if (env.REQUEST_METHOD == "POST") {
    FormInput = ReadRequestBody(env.ContentLength);
  } else {
    FormInput = env.QUERY_STRING;
  }
  FieldCount = static_cast<std::int32_t>(std::count(FormInput.begin(), FormInput.end(), '='));
  FormFieldTable = SplitFormInput(FormInput, FieldCount);
}

std::string LookupFormValue(std::string_view name) {
  // The slot counter is a signed 16-bit number: 32768 fields or more cannot be scanned.
  if (FieldCount - 1 > 32767) RaiseFailure(kOverflow);
  const FieldTable& table = FormFieldTable;
  // Slots 0 to FieldCount - 1 are scanned; those past the filled ones have empty names and
  // values, so they match only the empty name, and each then adds a lone ";" once the result
  // holds text.
  const std::size_t scanned = static_cast<std::size_t>(std::max<std::int32_t>(FieldCount, 0));
  const std::size_t filled = std::min(table.filled(), scanned);
  const std::size_t unfilled = name.empty() ? scanned - filled : 0;
  // Sized first, so that the result is allocated once, at its length; values are decoded only
  // when their names match, and only the slots from the first match to the last are read again.
  std::size_t length = 0, first = filled, last = 0;
  for (std::size_t slot = 0; slot < filled; ++slot) {
    if (!SameTextIgnoringCase(table.Name(slot), name)) continue;
    const std::size_t value = DecodedLength(table.RawValue(slot));
    length = length == 0 ? value : length + 1 + value;
    first = std::min(first, slot);
    last = slot;
  }
  if (length > 0) length += unfilled;
  std::string result;
  result.reserve(length);
  for (std::size_t slot = first; slot <= last && slot < filled; ++slot) {
    if (!SameTextIgnoringCase(table.Name(slot), name)) continue;
    if (!result.empty()) result += ';';
    AppendDecodedValue(table.RawValue(slot), result);
  }
  if (!result.empty()) result.append(unfilled, ';');
  // Scanning slot 32767 steps the counter past its range.
  if (FieldCount == 32768) RaiseFailure(kOverflow);
  return result;
}

}  // namespace trackrelay
