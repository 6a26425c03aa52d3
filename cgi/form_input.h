// The form input of the request: kept raw as FormInput, and split into fields that point into it.
// DecodeFormInput fills the records in phase 2; LookupFormValue reads them by field name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trackrelay {

struct FormField {
  std::string name;   // as sent, undecoded
  std::string value;  // plus and percent decoded
  bool operator==(const FormField&) const = default;
};

// The field table of a form input with field_count "=" in it: field_count + 1 slots, filled from
// slot 0 upwards, the last one never. A filled slot is kept as the position in the input where its
// name begins (its name runs to the next "=", its value from there to the next "&"); the unfilled
// slots, all empty, cost nothing. So the table costs 4 bytes a filled slot, at most two for each
// byte of input, however many "=" the input holds. Names and values are read from the input,
// which must stay as it was while the table is in use.
class FieldTable {
 public:
  FieldTable() = default;
  // Splits the input: each filled slot starts where the one before ended, after its "&", and the
  // splitting stops at the first rest of the input without "=". Raises kOutOfMemory for input of
  // 4 GiB or more, which no request can bring.
  FieldTable(std::string_view input, std::int32_t field_count);

  // field_count + 1, as many slots as the table means.
  std::size_t size() const { return static_cast<std::size_t>(field_count_) + 1; }
  // The slots filled from slot 0 up; the others have empty names and values.
  std::size_t filled() const { return starts_.size(); }
  // The slot's name as sent and its value as sent, undecoded; empty text for an unfilled slot.
  std::string_view Name(std::size_t slot) const;
  std::string_view RawValue(std::size_t slot) const;
  // The slot with its value decoded.
  FormField Field(std::size_t slot) const;
  void clear() { *this = FieldTable(); }

 private:
  std::string_view input_;
  std::int32_t field_count_ = 0;
  std::vector<std::uint32_t> starts_;
};

// The raw form input: the POST body, or QUERY_STRING for any other method.
extern std::string FormInput;
// The number of "=" in FormInput.
extern std::int32_t FieldCount;
// The table over FormInput: FieldCount + 1 slots.
extern FieldTable FormFieldTable;

// Phase 2. Raises kInvalidArgument for a POST with a negative ContentLength, and
// kOutOfMemory when the body cannot be held.
void DecodeFormInput();

// Reads the POST body from StdIn: until ContentLength bytes have come or a read gives none.
std::string ReadRequestBody(std::int32_t content_length);

// The field table of input, which must outlive it.
FieldTable SplitFormInput(std::string_view input, std::int32_t field_count);

// A form value: plus signs become spaces, then each "%" and the (up to) two characters after
// it become one byte, the value of those characters read as hexadecimal (0 when they are none).
std::string DecodeFormValue(std::string_view raw);

// The value of the named field (names compared with a..z folded), the values of several such
// fields joined by ";", or empty text. Raises kOverflow when FieldCount is 32768 or more.
std::string LookupFormValue(std::string_view name);

}  // namespace trackrelay
