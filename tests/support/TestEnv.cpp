// The helpers of support/TestEnv.h that are the same on both systems (the others: TestEnv_posix.cpp,
// win/TestEnv.cpp).
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>

namespace mivo::test {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

unsigned FaultSeed() {
  const char* given = std::getenv("MIVODB_FAULT_SEED");
  const unsigned seed =
      given && *given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device()();
  std::cout << "[ SEED     ] MIVODB_FAULT_SEED=" << seed << std::endl;
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

// ScopedEnv's platform-neutral part; Set, Unset and Restore are the platform's (TestEnv_posix.cpp,
// win/TestEnv.cpp).
ScopedEnv::~ScopedEnv() { Restore(); }

void ScopedEnv::Save(const std::string& name) {
  for (const auto& saved : saved_) {
    if (saved.first == name) return;
  }
  const char* value = std::getenv(name.c_str());
  saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
}

CString U(const std::string& utf8) { return AfxFromUtf8(utf8); }
std::string Utf8(const CString& s) { return AfxToUtf8(s); }

}  // namespace mivo::test
