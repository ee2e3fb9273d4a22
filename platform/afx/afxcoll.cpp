#include "platform/afx/afxcoll.h"

#include <algorithm>
#include <cstring>
#include <functional>

std::uint32_t CMapStringToString::Hash(std::u16string_view key) {
  const std::size_t h = std::hash<std::u16string_view>{}(key);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::size_t CMapStringToString::FindSlot(std::u16string_view key, std::uint32_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.data == nullptr) return i;
    if (s.hash == hash && s.keyLength == key.size() &&
        std::equal(key.begin(), key.end(), static_cast<const char16_t*>(s.data))) {
      return i;
    }
  }
}

char16_t* CMapStringToString::Allocate(std::size_t units) {
  if (units == 0) units = 1;
  if (units > freeUnits_) {
    const std::size_t size = std::max(units, nextChunkUnits_);
    chunks_.push_back(std::make_unique<char16_t[]>(size));
    free_ = chunks_.back().get();
    freeUnits_ = size;
    nextChunkUnits_ = std::min<std::size_t>(nextChunkUnits_ * 2, 64 * 1024);
  }
  char16_t* p = free_;
  free_ += units;
  freeUnits_ -= units;
  return p;
}

void CMapStringToString::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 32 : old.size() * 2, Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.data == nullptr) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].data != nullptr) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

BOOL CMapStringToString::Lookup(std::u16string_view key, std::u16string_view& value) const {
  if (count_ == 0) return FALSE;
  const Slot& s = slots_[FindSlot(key, Hash(key))];
  if (s.data == nullptr) return FALSE;
  value = std::u16string_view(s.data + s.keyLength, s.valueLength);
  return TRUE;
}

void CMapStringToString::SetAt(std::u16string_view key, std::u16string_view value) {
  if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
  const std::uint32_t hash = Hash(key);
  Slot& s = slots_[FindSlot(key, hash)];
  if (s.data != nullptr && value.size() <= s.valueCapacity) {
    std::copy(value.begin(), value.end(), s.data + s.keyLength);
    s.valueLength = static_cast<std::uint32_t>(value.size());
    return;
  }
  // A new entry, or a longer value: a new record holding the key and the value.
  const bool added = s.data == nullptr;
  char16_t* data = Allocate(key.size() + value.size());
  std::copy(key.begin(), key.end(), data);
  std::copy(value.begin(), value.end(), data + key.size());
  const auto length = static_cast<std::uint32_t>(value.size());
  s = Slot{data, hash, static_cast<std::uint32_t>(key.size()), length, length};
  if (added) ++count_;
}

void CMapStringToString::RemoveAll() {
  slots_.clear();
  slots_.shrink_to_fit();
  count_ = 0;
  chunks_.clear();
  free_ = nullptr;
  freeUnits_ = 0;
  nextChunkUnits_ = 256;
}
