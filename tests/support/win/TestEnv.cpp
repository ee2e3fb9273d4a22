// The folder, environment and registry-sandbox helpers of support/TestEnv.h on Windows: the C runtime's
// environment (which getenv and the Windows environment both see), std::filesystem for folders, and the
// registry layer's root redirection for the sandbox.
#include "support/TestEnv.h"

#include <process.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "platform/win32/win/registry_sandbox.h"

namespace mivo::test {
namespace {

std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string s = path.generic_u8string();
  return std::string(s.begin(), s.end());
}

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::atomic<unsigned> g_sandboxes{0};

}  // namespace

std::string DefaultTempBase() {
  std::error_code error;
  const auto base = std::filesystem::temp_directory_path(error);
  if (error) throw std::runtime_error("no temporary folder: " + error.message());
  std::string utf8 = Utf8Of(base);
  while (utf8.size() > 3 && utf8.back() == '/') utf8.pop_back();
  return utf8;
}

TempDir::TempDir(const std::string& base) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = base + "/mivodb-test-" + std::to_string(random() % 1000000000u);
    std::error_code error;
    if (std::filesystem::create_directory(PathOf(candidate), error)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a folder below " + base);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(PathOf(path_), ignored);
}

void ScopedEnv::Restore() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    ::_putenv_s(it->first.c_str(), it->second ? it->second->c_str() : "");
  }
  saved_.clear();
}

// The C runtime cannot hold an empty value: setting "" removes the variable.
void ScopedEnv::Set(const std::string& name, const std::string& value) {
  Save(name);
  ::_putenv_s(name.c_str(), value.c_str());
}

void ScopedEnv::Unset(const std::string& name) {
  Save(name);
  ::_putenv_s(name.c_str(), "");
}

HiveSandbox::HiveSandbox(const std::string& /*machine*/, const std::string& /*user*/, const std::string& base)
    : dir_(base) {
  keys_ = u"Software\\MivoDB tests\\" + U(std::to_string(::_getpid())) + u"-" +
          U(std::to_string(g_sandboxes.fetch_add(1)));
  Point({}, {});
}

HiveSandbox::~HiveSandbox() {
  mivo::reg::RestoreRootsForTesting();
  mivo::reg::DeleteUserTreeForTesting(keys_);
}

void HiveSandbox::PointAt(const std::string& /*folder*/) { Clear(); }

// Fresh, empty keys for both roots.
void HiveSandbox::Point(const std::string& /*machine*/, const std::string& /*user*/) {
  mivo::reg::RestoreRootsForTesting();
  mivo::reg::DeleteUserTreeForTesting(keys_);
  if (!mivo::reg::RedirectRootsForTesting(keys_ + u"\\Machine", keys_ + u"\\User")) {
    throw std::runtime_error("cannot redirect the registry roots to HKEY_CURRENT_USER\\" + Utf8(keys_));
  }
}

void HiveSandbox::Clear() { Point({}, {}); }

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(PathOf(path), error);
}

}  // namespace mivo::test
