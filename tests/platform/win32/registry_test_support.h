// Shared by the registry tests: a fixture with both roots pointed at hive files in a fresh temporary
// folder, and child processes (optionally as the unprivileged user 65534).
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestEnv.h"

namespace mivo::test {

// Names of the entries of a folder, sorted.
inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What a child process reports: named numbers.
class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void operator()(const std::string& name, long long value) {
    WriteNote(fd_, name + " " + std::to_string(value));
  }

 private:
  int fd_;
};

struct ChildResult {
  int exitCode = -1;
  std::map<std::string, long long> values;
  // The reported number, or -999999 when the child did not report it.
  long long operator[](const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? -999999 : it->second;
  }
};

// Runs `body` in a forked child (with fresh registry state), optionally as uid/gid 65534, and collects
// what it reports. The parent's open hives and transactions stay as they are.
inline ChildResult RunInChild(const std::function<void(Report&)>& body, bool asNobody = false) {
  const ForkRun run = RunForked([&](int fd) {
    if (asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                     ::setresuid(65534, 65534, 65534) != 0)) {
      return 4;
    }
    mivo::reg::ResetForTesting();
    Report report(fd);
    body(report);
    mivo::reg::ResetForTesting();
    return 0;
  });
  ChildResult result{run.exit_code, {}};
  for (const std::string& note : run.notes) {
    std::istringstream line(note);
    std::string name;
    long long value = 0;
    if (line >> name >> value) result.values[name] = value;
  }
  return result;
}

// Both roots on hive files machine/machine.hive and user/user.hive below a fresh temporary folder; the
// hive files and their folders do not exist at the start.
class RegistryTest : public ::testing::Test {
 protected:
  HiveSandbox hives_{"machine/machine.hive", "user/user.hive"};
};

inline bool IsRoot() { return ::geteuid() == 0; }

}  // namespace mivo::test
