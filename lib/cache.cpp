#include "lib/cache.h"

namespace mivo::lib {
namespace {

// The configuration store's name for an empty module or key.
constexpr std::string_view kEmptyMarker = "|EMPTY|";

std::string_view OrMarker(std::string_view s) { return s.empty() ? kEmptyMarker : s; }

template <class Map>
std::optional<Cache::Entry> Find(std::mutex& mutex, const Map& map, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = map.find(key);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

}  // namespace

// A module name cannot hold a NUL over the bus, so module, NUL, key names a pair uniquely.
std::string Cache::TextKey(std::string_view module, std::string_view key) {
  std::string k;
  k.reserve(module.size() + 1 + key.size());
  k.append(module).push_back('\0');
  k.append(key);
  return k;
}

std::string Cache::ConfigKey(std::string_view module, std::string_view key) {
  return TextKey(OrMarker(module), OrMarker(key));
}

std::optional<Cache::Entry> Cache::FindText(std::string_view module, std::string_view key) const {
  return Find(mutex_, texts_, TextKey(module, key));
}

std::optional<Cache::Entry> Cache::FindConfig(std::string_view module, std::string_view key) const {
  return Find(mutex_, config_, ConfigKey(module, key));
}

void Cache::StoreText(std::string_view module, std::string_view key, Entry entry) {
  std::string k = TextKey(module, key);
  std::lock_guard<std::mutex> lock(mutex_);
  texts_.insert_or_assign(std::move(k), std::move(entry));
}

void Cache::StoreConfig(std::string_view module, std::string_view key, Entry entry) {
  std::string k = ConfigKey(module, key);
  std::lock_guard<std::mutex> lock(mutex_);
  config_.insert_or_assign(std::move(k), std::move(entry));
}

std::optional<std::int16_t> Cache::Language() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return language_;
}

void Cache::StoreLanguage(std::int16_t language) {
  std::lock_guard<std::mutex> lock(mutex_);
  language_ = language;
}

void Cache::OnLanguageChanged(std::int16_t language) {
  std::lock_guard<std::mutex> lock(mutex_);
  texts_.clear();
  language_ = language;
}

void Cache::OnConfigChanged(std::string_view module, std::string_view key, std::string_view value) {
  StoreConfig(module, key, Entry{true, std::string(value)});
}

void Cache::OnReloaded(std::string_view store) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (store == "language") texts_.clear();
  if (store == "config") config_.clear();
}

}  // namespace mivo::lib
