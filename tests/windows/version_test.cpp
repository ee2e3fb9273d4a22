// The executable's VERSIONINFO resource as windres makes it from res/version.rc, read through Windows'
// version API, against the block that the Linux build makes from the same data (res/version.cpp, compiled
// into this test as well): every entry the server reads agrees.
#include "res/version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/winbase.h"
#include "res/version_data.h"

namespace {

// The version block of this executable, as GetFileVersionInfoW copies it.
std::vector<BYTE> OwnVersionBlock() {
  WCHAR path[1024] = {};
  EXPECT_GT(GetModuleFileNameW(nullptr, path, 1024), 0u);
  DWORD handle = 1;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  EXPECT_GT(size, 0u) << "error " << GetLastError();
  std::vector<BYTE> block(size);
  EXPECT_TRUE(size > 0 && GetFileVersionInfoW(path, handle, size, block.data()));
  return block;
}

// An entry of a block: its bytes (text entries: the characters with the terminator), or "<missing>".
std::string Entry(const void* block, const char16_t* path, bool text) {
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block, path, &value, &length) || value == nullptr) return "<missing>";
  const std::size_t bytes = text ? length * sizeof(WCHAR) : length;
  return std::string(static_cast<const char*>(value), bytes);
}

TEST(VersionResource, HoldsTheVersionDataAndAgreesWithTheLinuxBlock) {
  const std::vector<BYTE> resource = OwnVersionBlock();
  ASSERT_FALSE(resource.empty());
  const auto linux_span = MivoVersionResource();
  std::vector<BYTE> linux_block(linux_span.begin(), linux_span.end());
  linux_block.resize(linux_block.size() *
                     2);  // VerQueryValueW may use space after the block, as its copy has

  LPVOID fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(resource.data(), u"\\", &fixed, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  EXPECT_EQ(info->dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(info->dwFileVersionMS, (DWORD{MIVO_VER_MAJOR} << 16) | MIVO_VER_MINOR);
  EXPECT_EQ(info->dwFileVersionLS, (DWORD{MIVO_VER_BUILD} << 16) | MIVO_VER_REVISION);
  EXPECT_EQ(info->dwProductVersionMS, info->dwFileVersionMS);
  EXPECT_EQ(info->dwFileType, VFT_APP);
  EXPECT_EQ(Entry(resource.data(), u"\\StringFileInfo\\" MIVO_VER_TABLE u"\\FileVersion", true),
            std::string(reinterpret_cast<const char*>(u"" MIVO_VER_TEXT), sizeof(u"" MIVO_VER_TEXT)));

  const struct {
    const char16_t* path;
    bool text;
  } entries[] = {
      {u"\\", false},
      {u"\\VarFileInfo\\Translation", false},
      {u"\\StringFileInfo\\040704B0\\FileDescription", true},
      {u"\\StringFileInfo\\040704B0\\FileVersion", true},
      {u"\\StringFileInfo\\040704B0\\InternalName", true},
      {u"\\StringFileInfo\\040704B0\\OriginalFilename", true},
      {u"\\StringFileInfo\\040704B0\\ProductName", true},
      {u"\\StringFileInfo\\040704B0\\ProductVersion", true},
      {u"\\StringFileInfo\\040704B0\\OLESelfRegister", true},
  };
  for (const auto& e : entries) {
    const std::string path(reinterpret_cast<const char*>(e.path),
                           std::char_traits<char16_t>::length(e.path) * 2);
    EXPECT_EQ(Entry(resource.data(), e.path, e.text), Entry(linux_block.data(), e.path, e.text))
        << "entry of " << path.size() / 2 << " characters, " << (e.text ? "text" : "binary");
  }
  EXPECT_NE(Entry(resource.data(), u"\\StringFileInfo\\040704B0\\OLESelfRegister", true), "<missing>");
}

}  // namespace
