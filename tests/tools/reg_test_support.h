// Shared by the tests of `mivoctl reg`: runs the built tool with both hives in a fresh temporary folder and
// reads or prepares the hives through the registry API.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/winreg.h"

namespace reg_tool_test {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

inline std::string ToolPath() {
  const char* bin = std::getenv("MIVODB_BIN_DIR");
  return std::string(bin ? bin : ".") + "/tools/mivoctl";
}

// Reads a whole pipe into `out`.
inline void Drain(int fd, std::string& out) {
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<std::size_t>(n));
}

// Runs `mivoctl ARGS...` (optionally through `prefix`, e.g. setpriv) and collects its output.
inline RunResult RunTool(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
  std::vector<std::string> argv = prefix;
  argv.push_back(ToolPath());
  argv.insert(argv.end(), args.begin(), args.end());
  char outName[] = "/tmp/mivoctl-out-XXXXXX";
  char errName[] = "/tmp/mivoctl-err-XXXXXX";
  const int outFd = ::mkstemp(outName);
  const int errFd = ::mkstemp(errName);
  RunResult result;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadBytes(outName);
  result.err = ReadBytes(errName);
  ::close(outFd);
  ::close(errFd);
  ::unlink(outName);
  ::unlink(errName);
  return result;
}

inline std::string SzBytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
}

inline std::string Utf16(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

struct Value {
  LSTATUS status = 0;
  DWORD type = 0;
  std::string bytes;
};

inline Value ReadValue(HKEY root, const char16_t* path, const char16_t* name) {
  Value value;
  HKEY key = nullptr;
  value.status = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
  if (value.status != ERROR_SUCCESS) return value;
  DWORD size = 0;
  value.status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  if (value.status == ERROR_SUCCESS) {
    value.bytes.assign(size, '\0');
    value.status =
        RegQueryValueExW(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.bytes.data()), &size);
  }
  RegCloseKey(key);
  return value;
}

inline LSTATUS SetValue(HKEY root, const char16_t* path, const char16_t* name, DWORD type,
                        const std::string& bytes) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  return status;
}

inline bool KeyExists(HKEY root, const char16_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

inline std::vector<std::u16string> ValueNames(HKEY root, const char16_t* path) {
  std::vector<std::u16string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[512];
    DWORD chars = 512;
    if (RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  RegCloseKey(key);
  return names;
}

// Both hives in a fresh temporary folder (mode 0755); the tool inherits the variables.
class RegToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mivo-regtool-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755);
    PointHivesAt(dir_ + "/hives");
    ASSERT_TRUE(Exists(ToolPath())) << ToolPath() << " is not built";
  }
  void TearDown() override {
    mivo::reg::ResetForTesting();
    ::unsetenv("MIVODB_MACHINE_HIVE");
    ::unsetenv("MIVODB_USER_HIVE");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Points both roots (of this process and of the tool runs) at new hive files in `folder`.
  void PointHivesAt(const std::string& folder) {
    machineHive_ = folder + "/machine.hive";
    userHive_ = folder + "/user.hive";
    ::setenv("MIVODB_MACHINE_HIVE", machineHive_.c_str(), 1);
    ::setenv("MIVODB_USER_HIVE", userHive_.c_str(), 1);
    mivo::reg::ResetForTesting();
  }

  // Runs the tool; the hives are re-read by this process afterwards.
  RunResult Run(const std::vector<std::string>& args) {
    mivo::reg::ResetForTesting();
    RunResult result = RunTool(args);
    mivo::reg::ResetForTesting();
    return result;
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
  std::string machineHive_;
  std::string userHive_;
};

// One line on stderr, starting "mivoctl: ".
inline ::testing::AssertionResult IsOneErrorLine(const std::string& err) {
  if (err.rfind("mivoctl: ", 0) != 0) return ::testing::AssertionFailure() << "no prefix: " << err;
  if (err.find('\n') != err.size() - 1) return ::testing::AssertionFailure() << "not one line: " << err;
  return ::testing::AssertionSuccess();
}

}  // namespace reg_tool_test
