// Form decoding must stay linear in the size of the input, whatever its shape.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "cgi/form_input.h"

namespace trackrelay {
namespace {

std::int32_t CountFields(const std::string& input) {
  return static_cast<std::int32_t>(std::count(input.begin(), input.end(), '='));
}

// A 1 MiB body of 100,000 short fields, split into the table.
void BM_ManyFields(benchmark::State& state) {
  std::string input = "TRACKNO=0";
  while (input.size() < (1 << 20) - 12) input += "&f" + std::to_string(input.size() % 97) + "=v%41+x";
  for (auto _ : state) {
    auto table = SplitFormInput(input, CountFields(input));
    benchmark::DoNotOptimize(table);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["fields"] = CountFields(input);
}
BENCHMARK(BM_ManyFields)->Unit(benchmark::kMillisecond);

// One value of 300,000 percent escapes, split and looked up: values are decoded when looked up.
void BM_ManyEscapes(benchmark::State& state) {
  FormInput = "note=";
  for (int i = 0; i < 300000; ++i) FormInput += "%4" + std::string(1, "0123456789ABCDEF"[i % 16]);
  FieldCount = 1;
  for (auto _ : state) {
    FormFieldTable = SplitFormInput(FormInput, FieldCount);
    benchmark::DoNotOptimize(LookupFormValue("note"));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FormInput.size()));
}
BENCHMARK(BM_ManyEscapes)->Unit(benchmark::kMillisecond);

// Looking a field up among 30,000.
void BM_Lookup(benchmark::State& state) {
  FormInput = "TRACKNO=5";
  for (int i = 0; i < 30000; ++i) FormInput += "&field=value";
  FieldCount = CountFields(FormInput);
  FormFieldTable = SplitFormInput(FormInput, FieldCount);
  for (auto _ : state) benchmark::DoNotOptimize(LookupFormValue("TRACKNO"));
}
BENCHMARK(BM_Lookup)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trackrelay

BENCHMARK_MAIN();
