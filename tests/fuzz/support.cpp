#include "tests/fuzz/support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <streambuf>

// Provided by the sanitizer runtimes; absent (null) in a build without them.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace mivo::test {
namespace {

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c == EOF ? 0 : c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

bool Verbose() {
  const char* v = std::getenv("MIVODB_FUZZ_VERBOSE");
  return v != nullptr && *v != '\0' && *v != '0';
}

// A descriptor of the real stderr for sanitizer reports, taken once before anything is silenced.
void KeepSanitizerReports() {
  static const bool done = [] {
    const int fd = ::dup(STDERR_FILENO);
    if (fd >= 0 && __sanitizer_set_report_fd != nullptr) {
      __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    }
    return true;
  }();
  static_cast<void>(done);
}

}  // namespace

void Check(bool ok, const char* what, const std::string& detail) {
  if (ok) return;
  std::fprintf(stderr, "mivofuzz: check failed: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

void CopyFileOver(const std::string& from, const std::string& to) {
  for (;;) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec) return;
    if (ec != std::errc::interrupted)
      throw std::filesystem::filesystem_error("cannot copy file", from, to, ec);
  }
}

std::string FuzzTempBase() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = tmp && *tmp ? tmp : "/dev/shm";
  struct stat st {};
  if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(base.c_str(), W_OK) != 0)
    return "/tmp";
  return base;
}

Quiet::Quiet() {
  KeepSanitizerReports();
  sink_ = AfxAddReportSink([this](const AfxReport&) { ++reports_; });
  if (Verbose()) return;
  static NullBuffer null;
  std::cout.flush();
  std::cerr.flush();
  coutBuf_ = std::cout.rdbuf(&null);
  cerrBuf_ = std::cerr.rdbuf(&null);
  std::fflush(stdout);
  std::fflush(stderr);
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull >= 0) {
    savedOut_ = ::dup(STDOUT_FILENO);
    savedErr_ = ::dup(STDERR_FILENO);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(devnull, STDERR_FILENO);
    ::close(devnull);
  }
}

Quiet::~Quiet() {
  AfxRemoveReportSink(sink_);
  if (coutBuf_ != nullptr) std::cout.rdbuf(coutBuf_);
  if (cerrBuf_ != nullptr) std::cerr.rdbuf(cerrBuf_);
  std::fflush(stdout);
  std::fflush(stderr);
  if (savedOut_ >= 0) {
    ::dup2(savedOut_, STDOUT_FILENO);
    ::close(savedOut_);
  }
  if (savedErr_ >= 0) {
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedErr_);
  }
}

std::string Reader::Field(std::size_t max) {
  std::string s;
  while (pos_ < size_ && s.size() < max) {
    const char c = static_cast<char>(data_[pos_++]);
    if (c == '\0') break;
    s += c;
  }
  return s;
}

CString Reader::WideField(std::size_t max) {
  const bool raw = (Byte() & 1) != 0;
  if (!raw) return AfxFromUtf8(Field(max));
  CString s;
  while (pos_ + 1 < size_ && s.size() < max) {
    const auto unit = static_cast<char16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    if (unit == 0xFFFF) break;  // the field's end (a code unit no text needs)
    s += unit;
  }
  return s;
}

CString UpperAscii(CString s) {
  for (auto& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return s;
}

}  // namespace mivo::test
