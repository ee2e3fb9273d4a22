// Shared by the registry tests: a fixture with both roots pointed at hive files in a fresh temporary
// folder, small value helpers, and child processes (optionally as the unprivileged user 65534).
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/winreg.h"

namespace registry_test {

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

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

inline std::string SzBytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(char16_t));
}

inline LSTATUS SetBytes(HKEY key, const char16_t* name, DWORD type, const std::string& bytes) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

inline LSTATUS SetSz(HKEY key, const char16_t* name, const std::u16string& text) {
  return SetBytes(key, name, REG_SZ, SzBytes(text));
}

inline LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

struct Read {
  LSTATUS status = 0;
  DWORD type = 0;
  std::string bytes;
};

// Reads a value through a size query and a read into a buffer of exactly that size.
inline Read ReadValue(HKEY key, const char16_t* name) {
  Read read;
  DWORD size = 0;
  read.status = RegQueryValueExW(key, name, nullptr, &read.type, nullptr, &size);
  if (read.status != ERROR_SUCCESS) return read;
  read.bytes.assign(size, '\0');
  read.status =
      RegQueryValueExW(key, name, nullptr, &read.type, reinterpret_cast<BYTE*>(read.bytes.data()), &size);
  read.bytes.resize(size);
  return read;
}

// The value names of a key in enumeration order.
inline std::vector<std::u16string> ValueNames(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[16384];
    DWORD chars = 16384;
    const LSTATUS status = RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  return names;
}

// The subkey names of a key in enumeration order.
inline std::vector<std::u16string> SubkeyNames(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    const LSTATUS status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  return names;
}

// A handle closed when the object goes.
class Key {
 public:
  Key() = default;
  ~Key() { Close(); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() {
    Close();
    return &key_;
  }
  HKEY get() const { return key_; }
  operator HKEY() const { return key_; }
  void Close() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

inline LSTATUS Create(HKEY root, const char16_t* path, Key& key, REGSAM sam = KEY_ALL_ACCESS,
                      DWORD* disposition = nullptr) {
  return RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, key.out(),
                         disposition);
}

inline LSTATUS Open(HKEY root, const char16_t* path, Key& key, REGSAM sam = KEY_ALL_ACCESS) {
  return RegOpenKeyExW(root, path, 0, sam, key.out());
}

// What a child process reports: named numbers.
class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void operator()(const std::string& name, long long value) {
    const std::string line = name + " " + std::to_string(value) + "\n";
    if (::write(fd_, line.data(), line.size()) < 0) _exit(3);
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
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                     ::setresuid(65534, 65534, 65534) != 0)) {
      _exit(4);
    }
    mivo::reg::ResetForTesting();
    Report report(fds[1]);
    body(report);
    mivo::reg::ResetForTesting();
    _exit(0);
  }
  ::close(fds[1]);
  ChildResult result;
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::istringstream lines(text);
  std::string name;
  long long value = 0;
  while (lines >> name >> value) result.values[name] = value;
  return result;
}

// Both roots on hive files below a fresh temporary folder (mode 0755, so that uid 65534 can reach it).
// The hive files and their folders do not exist at the start.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mivo-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755);
    machineHive_ = dir_ + "/machine/machine.hive";
    userHive_ = dir_ + "/user/user.hive";
    ::setenv("MIVODB_MACHINE_HIVE", machineHive_.c_str(), 1);
    ::setenv("MIVODB_USER_HIVE", userHive_.c_str(), 1);
    mivo::reg::ResetForTesting();
  }
  void TearDown() override {
    mivo::reg::ResetForTesting();
    ::unsetenv("MIVODB_MACHINE_HIVE");
    ::unsetenv("MIVODB_USER_HIVE");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string dir_;
  std::string machineHive_;
  std::string userHive_;
};

inline bool IsRoot() { return ::geteuid() == 0; }

}  // namespace registry_test
