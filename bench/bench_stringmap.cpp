// Language lookups in a store of 100,000 texts over 1,000 modules, beside a bare
// std::unordered_map<std::u16string, std::u16string> lookup plus copy of the same texts.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "textstore/StringMap.h"

namespace {

constexpr int kModules = 1000;
constexpr int kKeysPerModule = 100;

CString Num(const char16_t* prefix, int n) {
  std::string digits = std::to_string(n);
  return CString(prefix) + CString(digits.begin(), digits.end());
}

struct Data {
  CStringMap store{kLanguageStore};
  std::unordered_map<std::u16string, std::u16string> flat;
  std::vector<std::pair<CString, CString>> probes;  // module, key

  Data() {
    for (int m = 0; m < kModules; ++m) {
      const CString module = Num(u"Module", m);
      CModuleEntry* entry = store.m_LanguageModules.GetOrAddEntry(module);
      for (int k = 0; k < kKeysPerModule; ++k) {
        const CString key = Num(u"IDS_MESSAGE_", k);
        const CString text =
            Num(u"A typical message text of moderate length, number ", m * kKeysPerModule + k);
        entry->SetString(key, text);
        flat.emplace(module + u"\x1F" + key, text);
      }
    }
    std::mt19937 rng(42);
    for (int i = 0; i < 4096; ++i) {
      probes.emplace_back(Num(u"Module", static_cast<int>(rng() % kModules)),
                          Num(u"IDS_MESSAGE_", static_cast<int>(rng() % kKeysPerModule)));
    }
  }
};

Data& TheData() {
  static Data data;
  return data;
}

void BM_LookupLanguageString(benchmark::State& state) {
  Data& d = TheData();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [module, key] = d.probes[i++ & 4095];
    CString text;
    benchmark::DoNotOptimize(d.store.LookupLanguageString(text, &module, &key));
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_LookupLanguageString);

// The baseline: one lookup in a flat map whose key is module and key joined (the probe keys are built
// outside the timed loop) and a copy of the text.
void BM_UnorderedMapBaseline(benchmark::State& state) {
  Data& d = TheData();
  std::vector<std::u16string> joined;
  for (const auto& [module, key] : d.probes) joined.push_back(module + u"\x1F" + key);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto it = d.flat.find(joined[i++ & 4095]);
    std::u16string text = it->second;
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_UnorderedMapBaseline);

}  // namespace

BENCHMARK_MAIN();
