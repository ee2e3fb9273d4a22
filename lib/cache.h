// The cache of one libmivodb connection: texts of the current language and configuration values, each as
// the server answered it (found, text), and the current language id once known. Thread-safe: each member
// takes the cache's own lock for the time it needs, and never makes a system call while the lock is free
// of contention.
//
// Configuration items are kept under the names the server looks them up by: an empty module or key stands
// for "|EMPTY|", so ("", "k") and ("|EMPTY|", "k") are one item, as they are for the server.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace mivo::lib {

class Cache {
 public:
  struct Entry {
    bool found = false;
    std::string text;
  };

  // The entry stored for (module, key), or nullopt.
  std::optional<Entry> FindText(std::string_view module, std::string_view key) const;
  std::optional<Entry> FindConfig(std::string_view module, std::string_view key) const;
  void StoreText(std::string_view module, std::string_view key, Entry entry);
  void StoreConfig(std::string_view module, std::string_view key, Entry entry);

  std::optional<std::int16_t> Language() const;
  void StoreLanguage(std::int16_t language);

  // What a change signal means for the cache: a new language drops every text; a changed item holds its
  // new value (found); a reloaded store ("language" or "config") drops what came from it.
  void OnLanguageChanged(std::int16_t language);
  void OnConfigChanged(std::string_view module, std::string_view key, std::string_view value);
  void OnReloaded(std::string_view store);

 private:
  static std::string TextKey(std::string_view module, std::string_view key);
  static std::string ConfigKey(std::string_view module, std::string_view key);

  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> texts_;
  std::unordered_map<std::string, Entry> config_;
  std::optional<std::int16_t> language_;
};

}  // namespace mivo::lib
