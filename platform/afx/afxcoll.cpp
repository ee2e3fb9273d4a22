#include "platform/afx/afxcoll.h"

#include <algorithm>
#include <cstring>
#include <functional>

std::uint32_t CMapStringToString::Hash(std::u16string_view key) {
  const std::size_t h = std::hash<std::u16string_view>{}(key);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::size_t CMapStringToString::FindSlot(std::u16string_view key, std::uint32_t hash) const {
  const std::size_t mask = m_Slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = m_Slots[i];
    if (s.data == nullptr) return i;
    if (s.hash == hash && s.key_length == key.size() &&
        std::equal(key.begin(), key.end(), static_cast<const char16_t*>(s.data))) {
      return i;
    }
  }
}

char16_t* CMapStringToString::Allocate(std::size_t units) {
  if (units == 0) units = 1;
  if (units > m_nFreeUnits) {
    const std::size_t size = std::max(units, m_nNextChunkUnits);
    m_Chunks.push_back(std::make_unique<char16_t[]>(size));
    m_pFree = m_Chunks.back().get();
    m_nFreeUnits = size;
    m_nNextChunkUnits = std::min<std::size_t>(m_nNextChunkUnits * 2, 64 * 1024);
  }
  char16_t* p = m_pFree;
  m_pFree += units;
  m_nFreeUnits -= units;
  return p;
}

void CMapStringToString::Grow() {
  std::vector<Slot> old = std::move(m_Slots);
  m_Slots.assign(old.empty() ? 32 : old.size() * 2, Slot{});
  const std::size_t mask = m_Slots.size() - 1;
  for (const Slot& s : old) {
    if (s.data == nullptr) continue;
    std::size_t i = s.hash & mask;
    while (m_Slots[i].data != nullptr) i = (i + 1) & mask;
    m_Slots[i] = s;
  }
}

BOOL CMapStringToString::Lookup(std::u16string_view key, std::u16string_view& value) const {
  if (m_nCount == 0) return FALSE;
  const Slot& s = m_Slots[FindSlot(key, Hash(key))];
  if (s.data == nullptr) return FALSE;
  value = std::u16string_view(s.data + s.key_length, s.value_length);
  return TRUE;
}

void CMapStringToString::SetAt(std::u16string_view key, std::u16string_view value) {
  if ((m_nCount + 1) * 4 > m_Slots.size() * 3) Grow();
  const std::uint32_t hash = Hash(key);
  Slot& s = m_Slots[FindSlot(key, hash)];
  if (s.data != nullptr && value.size() <= s.value_capacity) {
    std::copy(value.begin(), value.end(), s.data + s.key_length);
    s.value_length = static_cast<std::uint32_t>(value.size());
    return;
  }
  // A new entry, or a longer value: a new record holding the key and the value.
  const bool added = s.data == nullptr;
  char16_t* data = Allocate(key.size() + value.size());
  std::copy(key.begin(), key.end(), data);
  std::copy(value.begin(), value.end(), data + key.size());
  const auto length = static_cast<std::uint32_t>(value.size());
  s = Slot{data, hash, static_cast<std::uint32_t>(key.size()), length, length};
  if (added) ++m_nCount;
}

void CMapStringToString::RemoveAll() {
  m_Slots.clear();
  m_Slots.shrink_to_fit();
  m_nCount = 0;
  m_Chunks.clear();
  m_pFree = nullptr;
  m_nFreeUnits = 0;
  m_nNextChunkUnits = 256;
}
