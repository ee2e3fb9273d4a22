// Shared pieces of the fuzz targets: where their files go, quiet output, and a byte reader that turns a
// fuzz input into structured choices. Folders, hives and the registry come from support/TestEnv.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/afx/afx.h"
#include "support/TestEnv.h"

namespace mivo::test {

// Stops the run with a message on stderr when `ok` is false: a broken promise of the code under test is a
// finding, reported like a crash.
void Check(bool ok, const char* what, const std::string& detail = "");

// The one T of this target, made on first use and deleted at exit (before the leak check, so that what
// it holds is not reported).
template <class T>
T& TheOne() {
  static T* object = nullptr;
  if (object == nullptr) {
    object = new T;
    std::atexit([] { delete object; });
  }
  return *object;
}

// The base folder of a target's TempDir and HiveSandbox: $TMPDIR when set (scripts/fuzz points it into its
// own working folder, which it removes even after a crash), else /dev/shm when usable, which keeps
// SQLite's syncs cheap, else /tmp.
std::string FuzzTempBase();

// Copies `from` over `to`, again as long as a signal interrupts the copy (libFuzzer's timer signal does);
// throws std::filesystem::filesystem_error on any other failure.
void CopyFileOver(const std::string& from, const std::string& to);

// While alive, AfxMessageBox reports, std::cout, std::cerr and the process's stdout and stderr are
// discarded (set MIVODB_FUZZ_VERBOSE=1 to see them). Sanitizer reports still reach the real stderr.
// Counts the reports it swallowed.
class Quiet {
 public:
  Quiet();
  ~Quiet();
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;
  int reports() const { return reports_; }

 private:
  int sink_ = 0;
  int reports_ = 0;
  int savedOut_ = -1, savedErr_ = -1;
  std::streambuf* coutBuf_ = nullptr;
  std::streambuf* cerrBuf_ = nullptr;
};

// Reads a fuzz input from the front: bytes, integers and strings; past the end everything reads as 0 or
// empty.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint64_t Bits(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    return v;
  }
  // Up to the next 0 byte (consumed) or the end, at most `max` bytes.
  std::string Field(std::size_t max = 4096);
  // A wide string: as UTF-8 (invalid sequences become U+FFFD) or, when the first byte is odd, as raw
  // UTF-16 code units (lone surrogates and NULs included).
  CString WideField(std::size_t max = 4096);
  std::string Rest() {
    std::string s(reinterpret_cast<const char*>(data_ + pos_), pos_ < size_ ? size_ - pos_ : 0);
    pos_ = size_;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// ASCII upper case, as registry names compare.
CString UpperAscii(CString s);

}  // namespace mivo::test
