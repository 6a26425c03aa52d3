// The form input of the request: kept raw as FormInput, and split into decoded fields.
// DecodeFormInput fills the records in phase 2; LookupFormValue reads them by field name.
#pragma once

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

// The raw form input: the POST body, or QUERY_STRING for any other method.
extern std::string FormInput;
// The number of "=" in FormInput.
extern std::int32_t FieldCount;
// FieldCount + 1 slots, filled from slot 0 upwards; the last slot is never filled.
extern std::vector<FormField> FormFieldTable;

// Phase 2. Raises kInvalidArgument for a POST with a negative ContentLength, and
// kOutOfMemory when the body cannot be held.
void DecodeFormInput();

// Reads the POST body from StdIn: until ContentLength bytes have come or a read gives none.
std::string ReadRequestBody(std::int32_t content_length);

// Splits form input into the table: names undecoded, values plus then percent decoded.
std::vector<FormField> SplitFormInput(std::string_view input, std::int32_t field_count);

// A form value: plus signs become spaces, then each "%" and the (up to) two characters after
// it become one byte, the value of those characters read as hexadecimal (0 when they are none).
std::string DecodeFormValue(std::string_view raw);

// The value of the named field (names compared with a..z folded), the values of several such
// fields joined by ";", or empty text. Raises kOverflow when FieldCount is 32768 or more.
std::string LookupFormValue(std::string_view name);

}  // namespace trackrelay
