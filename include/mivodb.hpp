// A thin C++ face of libmivodb (mivodb.h): a connection as an owning, movable object whose failures are
// thrown as mivodb::Error. Header only; link with the library as for the C API.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mivodb.h"

namespace mivodb {

// A failed call: its status, message and (for MIVODB_E_CALL) the D-Bus error name.
class Error : public std::runtime_error {
 public:
  Error(mivodb_status status, const std::string& message, std::string name)
      : std::runtime_error(message), status_(status), name_(std::move(name)) {}
  mivodb_status status() const { return status_; }
  const std::string& name() const { return name_; }

 private:
  mivodb_status status_;
  std::string name_;
};

struct Text {
  bool found = false;
  std::string text;
};

struct Explanation {
  std::string text, source;
  std::int16_t language = 0;
};

using Items = std::vector<std::pair<std::string, std::string>>;  // (module, key)

class Client {
 public:
  using ChangeHandler = std::function<void(const mivodb_change&)>;

  // The session bus when `address` is null.
  explicit Client(const char* address = nullptr, unsigned flags = 0) {
    mivodb_connection* db = nullptr;
    Check(mivodb_open(address, flags, &db));
    db_.reset(db);
  }
  ~Client() = default;
  Client(Client&&) noexcept = default;
  Client& operator=(Client&&) noexcept = default;

  mivodb_connection* get() const { return db_.get(); }

  Text GetText(const std::string& module, const std::string& key) {
    return One(mivodb_get_text, module, key);
  }
  std::vector<Text> GetTexts(const Items& items) { return Many(mivodb_get_texts, items); }
  Text GetConfig(const std::string& module, const std::string& key) {
    return One(mivodb_get_config, module, key);
  }
  std::vector<Text> GetConfigs(const Items& items) { return Many(mivodb_get_configs, items); }
  bool SetConfig(const std::string& module, const std::string& key, const std::string& value) {
    int ok = 0;
    Check(mivodb_set_config(get(), module.c_str(), key.c_str(), value.c_str(), &ok));
    return ok != 0;
  }
  bool SetLanguage(std::int16_t language, bool user_flag = true) {
    int ok = 0;
    Check(mivodb_set_language(get(), language, user_flag ? 1 : 0, &ok));
    return ok != 0;
  }
  std::int16_t Language() {
    std::int16_t id = 0;
    Check(mivodb_get_language(get(), &id));
    return id;
  }
  std::int16_t Charset() {
    std::int16_t code = 0;
    Check(mivodb_get_charset(get(), &code));
    return code;
  }
  bool RefreshTexts() { return Flag(mivodb_refresh_texts); }
  bool RefreshConfig() { return Flag(mivodb_refresh_config); }
  Explanation Explain(const std::string& module, const std::string& key) {
    char* text = nullptr;
    char* source = nullptr;
    Explanation e;
    Check(mivodb_explain(get(), module.c_str(), key.c_str(), &text, &source, &e.language));
    e.text = text;
    e.source = source;
    mivodb_free(text);
    mivodb_free(source);
    return e;
  }
  // Calls `handler` for every change signal (see mivodb_on_change); an empty handler removes it.
  void OnChange(ChangeHandler handler) {
    auto next = std::make_unique<ChangeHandler>(std::move(handler));
    Check(mivodb_on_change(get(), *next ? Trampoline : nullptr, next.get()));
    handler_ = std::move(next);  // the replaced handler runs no more
  }

 private:
  struct Close {
    void operator()(mivodb_connection* db) const { mivodb_close(db); }
  };

  static void Check(mivodb_status status) {
    if (status != MIVODB_OK) throw Error(status, mivodb_error_message(), mivodb_error_name());
  }
  static void Trampoline(const mivodb_change* change, void* user) {
    (*static_cast<ChangeHandler*>(user))(*change);
  }

  template <class F>
  Text One(F f, const std::string& module, const std::string& key) {
    char* text = nullptr;
    int found = 0;
    Check(f(get(), module.c_str(), key.c_str(), &text, &found));
    Text t{found != 0, text};
    mivodb_free(text);
    return t;
  }
  template <class F>
  std::vector<Text> Many(F f, const Items& items) {
    std::vector<mivodb_item> in;
    in.reserve(items.size());
    for (const auto& [module, key] : items) in.push_back({module.c_str(), key.c_str()});
    std::vector<mivodb_answer> answers(items.size());
    Check(f(get(), in.data(), in.size(), answers.data()));
    std::vector<Text> out;
    out.reserve(answers.size());
    for (const mivodb_answer& a : answers) out.push_back({a.found != 0, a.text});
    mivodb_free_answers(answers.data(), answers.size());
    return out;
  }
  template <class F>
  bool Flag(F f) {
    int ok = 0;
    Check(f(get(), &ok));
    return ok != 0;
  }

  // The handler lives as long as the connection that may call it (members end in reverse order).
  std::unique_ptr<ChangeHandler> handler_;
  std::unique_ptr<mivodb_connection, Close> db_;
};

}  // namespace mivodb
