#include "support/TestEnv.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "platform/win32/winnls.h"

namespace mivo::test {

TempDir::TempDir(const std::string& base) {
  std::string pattern = base + "/mivodb-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder like " + pattern);
  path_ = pattern;
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::~ScopedEnv() { Restore(); }

void ScopedEnv::Restore() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
  saved_.clear();
}

void ScopedEnv::Save(const std::string& name) {
  for (const auto& saved : saved_) {
    if (saved.first == name) return;
  }
  const char* value = std::getenv(name.c_str());
  saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
}

void ScopedEnv::Set(const std::string& name, const std::string& value) {
  Save(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::Unset(const std::string& name) {
  Save(name);
  ::unsetenv(name.c_str());
}

HiveSandbox::HiveSandbox(const std::string& machine, const std::string& user, const std::string& base)
    : dir_(base) {
  Point(dir_.File(machine), dir_.File(user));
}

HiveSandbox::~HiveSandbox() {
  mivo::reg::ResetForTesting();
  mivo::nls::ResetForTesting();
}  // then env_ restores the variables

void HiveSandbox::PointAt(const std::string& folder) {
  Point(folder + "/machine.hive", folder + "/user.hive");
}

void HiveSandbox::Point(const std::string& machine, const std::string& user) {
  machine_ = machine;
  user_ = user;
  env_.Set("MIVODB_MACHINE_HIVE", machine_);
  env_.Set("MIVODB_USER_HIVE", user_);
  mivo::reg::ResetForTesting();
  mivo::nls::ResetForTesting();
}

void HiveSandbox::Clear() {
  mivo::reg::ResetForTesting();
  for (const std::string& hive : {machine_, user_}) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((hive + suffix).c_str());
  }
  mivo::reg::ResetForTesting();
  mivo::nls::ResetForTesting();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

unsigned FaultSeed() {
  const char* given = std::getenv("MIVODB_FAULT_SEED");
  const unsigned seed =
      given && *given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device()();
  std::cout << "[ SEED     ] MIVODB_FAULT_SEED=" << seed << std::endl;
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

CString U(const std::string& utf8) { return AfxFromUtf8(utf8); }
std::string Utf8(const CString& s) { return AfxToUtf8(s); }

}  // namespace mivo::test
