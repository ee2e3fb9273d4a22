// The framework's string-to-string hash map, and the chunked storage that holds its keys and values.
//
// Contract: keys match exactly, code unit by code unit (case-sensitive; any code unit, NUL included).
// SetAt inserts a key or replaces its value; the value last set wins. Lookup gives a view of the stored
// value, valid until the next SetAt or RemoveAll on the map (or RemoveAll on its arena). The map owns its
// keys, values and hash table: they live in chunked storage, so a map of many entries costs a few
// allocations, not two per entry. That storage is the map's own, or a CStringArena given at construction
// that several maps share. The old value's space when a value is replaced by a longer one stays unused
// until the storage is freed: by RemoveAll on a map with its own storage, by RemoveAll on the arena
// otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/afx/afx.h"

// Chunked storage for the keys, values and tables of one or more maps. Chunks grow from 512 bytes to
// 16 MB as the arena fills, and the tables that maps outgrow are reused for later records; the large chunks
// are offered to the system for large pages (fewer page faults and TLB misses on a big store). Everything
// handed out stays valid until RemoveAll or destruction of the arena; the maps built on an arena must not
// be used after either.
class CStringArena {
 public:
  CStringArena() = default;
  ~CStringArena() = default;
  CStringArena(const CStringArena&) = delete;
  CStringArena& operator=(const CStringArena&) = delete;

  // Room for `bytes` bytes (at least one) at a multiple of `alignment` (a power of two, at most 16), not
  // initialised. Throws std::bad_alloc.
  void* Allocate(std::size_t bytes, std::size_t alignment);
  // Gives back `bytes` bytes at `p`, handed out by Allocate and no longer used: later smaller requests may
  // be served from them.
  void Recycle(void* p, std::size_t bytes);
  // Frees every chunk.
  void RemoveAll();

 private:
  struct Region {
    unsigned char* p = nullptr;
    std::size_t bytes = 0;
  };
  // Room from `region`, or null when it has not enough.
  static void* Take(Region& region, std::size_t bytes, std::size_t alignment);

  std::vector<std::unique_ptr<unsigned char[]>> m_Chunks;
  Region m_Tail;                        // the unused rest of the newest chunk
  Region m_Reuse;                       // the recycled region being filled
  std::vector<Region> m_Recycled;       // further recycled regions
  std::size_t m_nNextChunkBytes = 512;  // the first chunk's size, doubled up to 16 MB
};

class CMapStringToString {
 public:
  // A map with storage of its own.
  CMapStringToString() : m_pStorage(&m_OwnStorage) {}
  // A map whose keys and values live in `pArena`, which must outlive the map (see CStringArena).
  explicit CMapStringToString(CStringArena* pArena) : m_pStorage(pArena) {}
  ~CMapStringToString() = default;
  CMapStringToString(const CMapStringToString&) = delete;
  CMapStringToString& operator=(const CMapStringToString&) = delete;

  // TRUE and a view of the value when `key` is present.
  BOOL Lookup(std::u16string_view key, std::u16string_view& value) const;
  void SetAt(std::u16string_view key, std::u16string_view value);
  // A hint that `key` is about to be looked up or set: starts fetching its place in the table into the
  // processor's cache. Changes nothing.
  void Prefetch(std::u16string_view key) const;
  // Empties the map; frees its storage when the storage is its own.
  void RemoveAll();
  std::size_t GetCount() const { return m_nCount; }
  bool IsEmpty() const { return m_nCount == 0; }

  // Calls f(key, value) for every entry, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    for (const Slot& s : std::span(m_pSlots, m_nSlots)) {
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
  void Grow();

  Slot* m_pSlots = nullptr;  // m_nSlots slots (a power of two) in m_pStorage, or null
  std::size_t m_nSlots = 0;
  std::size_t m_nCount = 0;
  CStringArena m_OwnStorage;
  CStringArena* m_pStorage;
};
