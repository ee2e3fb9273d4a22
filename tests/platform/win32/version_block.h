// The version block the build gives its programs, as bytes, for the version tests to compare with.
#pragma once

#include <vector>

#include "platform/win32/wintypes.h"
#include "res/version.h"

inline std::vector<BYTE> ServerBlock() {
  const auto block = MivoVersionResource();
  return std::vector<BYTE>(block.begin(), block.end());
}
