// Form input as any client may send it: split, decoded and looked up without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/form_input.h"
#include "platform/failure.h"

using namespace trackrelay;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FormInput.assign(reinterpret_cast<const char*>(data), size);
  FieldCount = 0;
  for (char c : FormInput) FieldCount += c == '=';
  FormFieldTable = SplitFormInput(FormInput, FieldCount);
  if (FormFieldTable.size() != static_cast<std::size_t>(FieldCount) + 1) std::abort();
  std::size_t raw = 0;
  for (const FormField& field : FormFieldTable) {
    // A name ends at the first "=", and decoding never makes a value longer.
    if (field.name.find('=') != std::string::npos) std::abort();
    raw += field.name.size() + field.value.size();
  }
  if (raw > FormInput.size()) std::abort();
  try {
    std::string value = LookupFormValue("TRACKNO");
    std::string empty_name = LookupFormValue("");
    if (FieldCount >= 32768) std::abort();
    (void)value;
    (void)empty_name;
  } catch (const Failure& failure) {
    if (failure.number() != kOverflow || FieldCount < 32768) std::abort();
  }
  return 0;
}
