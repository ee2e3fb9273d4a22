#include "platform/afx/afxcoll.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/afx/afx_platform.h"

namespace {

constexpr std::size_t kFirstChunkBytes = 512;
constexpr std::size_t kMaxChunkBytes = std::size_t{16} << 20;
constexpr std::size_t kLargePageBytes = std::size_t{2} << 20;  // a large page; chunks this large get them

}  // namespace

void* CStringArena::Take(Region& region, std::size_t bytes, std::size_t alignment) {
  const std::size_t pad = (alignment - reinterpret_cast<std::uintptr_t>(region.p) % alignment) % alignment;
  if (region.p == nullptr || pad + bytes > region.bytes) return nullptr;
  void* p = region.p + pad;
  region.p += pad + bytes;
  region.bytes -= pad + bytes;
  return p;
}

void* CStringArena::Allocate(std::size_t bytes, std::size_t alignment) {
  if (bytes == 0) bytes = 1;
  if (void* p = Take(m_Reuse, bytes, alignment)) return p;
  if (!m_Recycled.empty() && m_Recycled.back().bytes >= bytes + alignment) {
    m_Reuse = m_Recycled.back();  // the rest of the previous one, smaller than `bytes`, stays unused
    m_Recycled.pop_back();
    return Take(m_Reuse, bytes, alignment);
  }
  if (void* p = Take(m_Tail, bytes, alignment)) return p;
  const std::size_t size = std::max(bytes, m_nNextChunkBytes);
  m_nNextChunkBytes = std::min(m_nNextChunkBytes * 2, kMaxChunkBytes);
  // Not initialised: pages that are never written are never touched. operator new[] aligns to 16; a large
  // chunk is used from a multiple of its page size on (the bytes before stay untouched), so that large
  // pages cover all of it.
  const bool large = size >= kLargePageBytes;
  m_Chunks.push_back(std::make_unique_for_overwrite<unsigned char[]>(size + (large ? kLargePageBytes : 0)));
  unsigned char* start = m_Chunks.back().get();
  if (large) {
    start += (kLargePageBytes - reinterpret_cast<std::uintptr_t>(start) % kLargePageBytes) % kLargePageBytes;
    mivo::afx::AdviseLargePages(start, size);
  }
  m_Tail = Region{start, size};
  return Take(m_Tail, bytes, alignment);
}

void CStringArena::Recycle(void* p, std::size_t bytes) {
  m_Recycled.push_back(Region{static_cast<unsigned char*>(p), bytes});
}

void CStringArena::RemoveAll() {
  m_Chunks.clear();
  m_Chunks.shrink_to_fit();
  m_Tail = m_Reuse = Region{};
  m_Recycled.clear();
  m_Recycled.shrink_to_fit();
  m_nNextChunkBytes = kFirstChunkBytes;
}

std::uint32_t CMapStringToString::Hash(std::u16string_view key) {
  const std::size_t h = std::hash<std::u16string_view>{}(key);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::size_t CMapStringToString::FindSlot(std::u16string_view key, std::uint32_t hash) const {
  const std::size_t mask = m_nSlots - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = m_pSlots[i];
    if (s.data == nullptr) return i;
    if (s.hash == hash && s.key_length == key.size() &&
        std::equal(key.begin(), key.end(), static_cast<const char16_t*>(s.data))) {
      return i;
    }
  }
}

void CMapStringToString::Grow() {
  // The new table comes from the storage, and the old one goes back to it.
  const std::size_t size = m_nSlots == 0 ? 32 : m_nSlots * 2;
  Slot* slots = static_cast<Slot*>(m_pStorage->Allocate(size * sizeof(Slot), alignof(Slot)));
  std::uninitialized_fill_n(slots, size, Slot{});
  const std::size_t mask = size - 1;
  for (const Slot& s : std::span(m_pSlots, m_nSlots)) {
    if (s.data == nullptr) continue;
    std::size_t i = s.hash & mask;
    while (slots[i].data != nullptr) i = (i + 1) & mask;
    slots[i] = s;
  }
  if (m_pSlots != nullptr) m_pStorage->Recycle(m_pSlots, m_nSlots * sizeof(Slot));
  m_pSlots = slots;
  m_nSlots = size;
}

BOOL CMapStringToString::Lookup(std::u16string_view key, std::u16string_view& value) const {
  if (m_nCount == 0) return FALSE;
  const Slot& s = m_pSlots[FindSlot(key, Hash(key))];
  if (s.data == nullptr) return FALSE;
  value = std::u16string_view(s.data + s.key_length, s.value_length);
  return TRUE;
}

void CMapStringToString::Prefetch(std::u16string_view key) const {
  if (m_nSlots != 0) __builtin_prefetch(&m_pSlots[Hash(key) & (m_nSlots - 1)]);
}

void CMapStringToString::SetAt(std::u16string_view key, std::u16string_view value) {
  if ((m_nCount + 1) * 4 > m_nSlots * 3) Grow();
  const std::uint32_t hash = Hash(key);
  Slot& s = m_pSlots[FindSlot(key, hash)];
  if (s.data != nullptr && value.size() <= s.value_capacity) {
    std::copy(value.begin(), value.end(), s.data + s.key_length);
    s.value_length = static_cast<std::uint32_t>(value.size());
    return;
  }
  // A new entry, or a longer value: a new record holding the key and the value.
  const bool added = s.data == nullptr;
  auto* data = static_cast<char16_t*>(
      m_pStorage->Allocate((key.size() + value.size()) * sizeof(char16_t), alignof(char16_t)));
  std::copy(key.begin(), key.end(), data);
  std::copy(value.begin(), value.end(), data + key.size());
  const auto length = static_cast<std::uint32_t>(value.size());
  s = Slot{data, hash, static_cast<std::uint32_t>(key.size()), length, length};
  if (added) ++m_nCount;
}

void CMapStringToString::RemoveAll() {
  m_pSlots = nullptr;
  m_nSlots = 0;
  m_nCount = 0;
  if (m_pStorage == &m_OwnStorage) m_OwnStorage.RemoveAll();
}
