// The folder, environment and registry-sandbox helpers of support/TestEnv.h on Linux.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/win32/winnls.h"
#include "support/TestEnv.h"

namespace mivo::test {

std::string DefaultTempBase() { return "/tmp"; }

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

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace mivo::test
