// Form input as any client may send it: split, decoded and looked up without fault, and exactly
// as a plain model does it that holds every slot, unfilled ones included, as decoded text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/form_input.h"
#include "fuzz/fuzz_support.h"
#include "platform/failure.h"

using namespace trackrelay;
using trackrelay::fuzz::Broken;

namespace {

// Every slot of the table: split at the first "=" and the next "&", from slot 0 up, until the
// rest holds no "=".
std::vector<FormField> ModelSlots(std::string_view input, std::int32_t field_count) {
  std::vector<FormField> slots(static_cast<std::size_t>(field_count) + 1);
  std::size_t pos = 0;
  for (std::int32_t i = 0; i < field_count; ++i) {
    std::size_t eq = input.find('=', pos);
    if (eq == std::string_view::npos) break;
    std::size_t amp = input.find('&', eq);
    if (amp == std::string_view::npos) amp = input.size();
    slots[static_cast<std::size_t>(i)] = {std::string(input.substr(pos, eq - pos)),
                                          DecodeFormValue(input.substr(eq + 1, amp - eq - 1))};
    pos = amp + 1;
  }
  return slots;
}

std::string Folded(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// The lookup over every slot but the last, joining matching values with ";" once the result holds
// text. Only for fewer than 32768 fields.
std::string ModelLookup(const std::vector<FormField>& slots, std::string_view name) {
  std::string result;
  for (std::size_t i = 0; i + 1 < slots.size(); ++i) {
    if (Folded(slots[i].name) != Folded(name)) continue;
    if (!result.empty()) result += ';';
    result += slots[i].value;
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FormInput.assign(reinterpret_cast<const char*>(data), size);
  FieldCount = 0;
  for (char c : FormInput) FieldCount += c == '=';
  FormFieldTable = SplitFormInput(FormInput, FieldCount);
  if (FormFieldTable.size() != static_cast<std::size_t>(FieldCount) + 1) Broken("not one slot per \"=\" and one more");
  if (FormFieldTable.filled() > FormInput.size() / 2 + 1) Broken("more filled slots than the input has room for");
  const std::vector<FormField> model = ModelSlots(FormInput, FieldCount);
  std::size_t raw = 0;
  for (std::size_t slot = 0; slot < FormFieldTable.size(); ++slot) {
    const FormField field = FormFieldTable.Field(slot);
    if (field != model[slot]) Broken("a slot differs from the model");
    // A name ends at the first "=", and decoding never makes a value longer.
    if (field.name.find('=') != std::string::npos) Broken("a name holds \"=\"");
    raw += field.name.size() + field.value.size();
  }
  if (raw > FormInput.size()) Broken("the slots hold more than the input");
  // Names from the form itself, so that lookups find something: the first slot's and the last
  // filled one's, as sent and in another case.
  std::vector<std::string> names = {"TRACKNO", ""};
  if (FormFieldTable.filled() > 0) {
    names.push_back(std::string(FormFieldTable.Name(0)));
    names.push_back(Folded(FormFieldTable.Name(FormFieldTable.filled() - 1)));
  }
  for (const std::string& name : names) {
    try {
      const std::string value = LookupFormValue(name);
      if (FieldCount >= 32768) Broken("no overflow from 32768 fields");
      if (value != ModelLookup(model, name)) Broken("a lookup differs from the model");
    } catch (const Failure& failure) {
      if (failure.number() != kOverflow || FieldCount < 32768) Broken("a lookup failed below 32768 fields");
    }
  }
  return 0;
}
