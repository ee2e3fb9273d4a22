// The framework's string-to-string hash map.
//
// Contract: keys match exactly, code unit by code unit (case-sensitive; any code unit, NUL included).
// SetAt inserts a key or replaces its value; the value last set wins. Lookup gives a view of the stored
// value, valid until the next SetAt or RemoveAll on the map. The map owns its keys and values: they live in
// chunked storage of the map itself, so a map of many entries costs a few allocations, not two per entry.
// Replacing a value with a longer one leaves the old value's space unused until RemoveAll.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/afx/afx.h"

class CMapStringToString {
 public:
  CMapStringToString() = default;
  ~CMapStringToString() = default;
  CMapStringToString(const CMapStringToString&) = delete;
  CMapStringToString& operator=(const CMapStringToString&) = delete;

  // TRUE and a view of the value when `key` is present.
  BOOL Lookup(std::u16string_view key, std::u16string_view& value) const;
  void SetAt(std::u16string_view key, std::u16string_view value);
  void RemoveAll();
  std::size_t GetCount() const { return m_nCount; }
  bool IsEmpty() const { return m_nCount == 0; }

  // Calls f(key, value) for every entry, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    for (const Slot& s : m_Slots) {
      if (s.data != nullptr) {
        f(std::u16string_view(s.data, s.key_length),
          std::u16string_view(s.data + s.key_length, s.value_length));
      }
    }
  }

 private:
  struct Slot {
    char16_t* data = nullptr;  // the key, then the value; null for a free slot
    std::uint32_t hash = 0;
    std::uint32_t key_length = 0;
    std::uint32_t value_length = 0;
    std::uint32_t value_capacity = 0;
  };

  static std::uint32_t Hash(std::u16string_view key);
  std::size_t FindSlot(std::u16string_view key, std::uint32_t hash) const;  // the slot of key, or a free one
  char16_t* Allocate(std::size_t units);
  void Grow();

  std::vector<Slot> m_Slots;
  std::size_t m_nCount = 0;
  std::vector<std::unique_ptr<char16_t[]>> m_Chunks;
  char16_t* m_pFree = nullptr;
  std::size_t m_nFreeUnits = 0;
  std::size_t m_nNextChunkUnits = 256;
};
