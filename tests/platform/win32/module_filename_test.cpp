// GetModuleFileNameW: the running executable's path and the buffer rules.

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/winbase.h"

namespace {

std::u16string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? AfxFromUtf8(std::string(buffer, static_cast<std::size_t>(n))) : u"<unknown>";
}

TEST(ModuleFileName, NamesTheRunningExecutableForAnyHandleWhenTheBufferHoldsIt) {
  const std::u16string expected = ExecutablePath();
  for (HMODULE module : {static_cast<HMODULE>(nullptr), reinterpret_cast<HMODULE>(0x1234)}) {
    std::vector<WCHAR> buffer(expected.size() + 2, u'#');  // room for the path and its zero exactly
    ASSERT_EQ(GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(expected.size() + 1)),
              expected.size());
    EXPECT_EQ(std::u16string(buffer.data()), expected);
    EXPECT_EQ(buffer.back(), u'#');
  }
}

TEST(ModuleFileName, ShortBufferGetsTheCutPathAndInsufficientBuffer) {
  const std::u16string expected = ExecutablePath();
  for (std::size_t size : {std::size_t{1}, std::size_t{5}, expected.size()}) {
    std::vector<WCHAR> buffer(size + 1, u'#');
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(size)), size);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buffer.data()), expected.substr(0, size - 1)) << size;
    EXPECT_EQ(buffer[size], u'#') << "wrote past a buffer of " << size;
  }
}

TEST(ModuleFileName, EmptyOrMissingBufferFails) {
  WCHAR untouched = u'#';
  EXPECT_EQ(GetModuleFileNameW(nullptr, &untouched, 0), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(untouched, u'#');
  EXPECT_EQ(GetModuleFileNameW(nullptr, nullptr, 10), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
