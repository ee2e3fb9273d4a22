// libmivodb: the C API of include/mivodb.h over the automation client of platform/ole.
//
// One connection: one AutomationClient, used under `calls` (one call at a time; change signals are
// dispatched under it too, by the calls themselves and by the connection's thread), and the cache. Every
// call ends by dispatching what arrived with or after its reply, so when the lock is given back nothing
// is left queued, and the thread only needs to wait for the descriptor to become readable.
#include "include/mivodb.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "lib/cache.h"
#include "platform/ole/client.h"
#include "platform/ole/environment.h"

namespace {

using mivo::lib::Cache;
using mivo::ole::AutomationClient;
using mivo::ole::BusError;

constexpr char kService[] = "Mivo.DataBase.OLEServer";
// The DISPIDs of the dispatch methods the library calls by number.
constexpr DISPID kSetLanguage = 1, kSetConfigString = 5, kGetCurCharsetCode = 8, kRefreshConfDB = 9,
                 kRefreshLangDB = 10;

thread_local std::string t_message;
thread_local std::string t_name;

mivodb_status Fail(mivodb_status status, std::string message, std::string name = {}) {
  t_message = std::move(message);
  t_name = std::move(name);
  return status;
}

char* Copy(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p == nullptr) throw std::bad_alloc();
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

std::string Utf8(const CString& s) { return AfxToUtf8(s); }

}  // namespace

struct mivodb_connection {
  std::unique_ptr<AutomationClient> client;
  std::string path;
  bool caching = true;
  Cache cache;
  std::recursive_mutex calls;
  std::mutex callback_mutex;
  mivodb_change_callback callback = nullptr;
  void* callback_user = nullptr;
  int wake = -1;
  std::thread thread;

  ~mivodb_connection() {
    if (thread.joinable()) {
      const std::uint64_t one = 1;
      (void)!::write(wake, &one, sizeof one);
      thread.join();
    }
    if (wake >= 0) ::close(wake);
  }

  // Takes a change signal: the cache first, then the callback.
  void OnChange(const AutomationClient::Change& c) {
    using Kind = AutomationClient::Change::Kind;
    mivodb_change change{};
    std::string module, key, value;
    switch (c.kind) {
      case Kind::kLanguage:
        cache.OnLanguageChanged(c.language);
        change.kind = MIVODB_LANGUAGE_CHANGED;
        change.language = c.language;
        break;
      case Kind::kConfig:
        module = Utf8(c.module);
        key = Utf8(c.key);
        value = Utf8(c.value);
        cache.OnConfigChanged(module, key, value);
        change.kind = MIVODB_CONFIG_CHANGED;
        change.module = module.c_str();
        change.key = key.c_str();
        change.value = value.c_str();
        break;
      case Kind::kReloaded:
        cache.OnReloaded(c.store);
        change.kind = MIVODB_RELOADED;
        change.store = c.store.c_str();
        break;
    }
    // Under the lock: once mivodb_on_change returns, the callback it replaced runs no more.
    std::lock_guard<std::mutex> lock(callback_mutex);
    if (callback) callback(&change, callback_user);
  }

  // Waits for traffic and dispatches it until the connection ends or is closed.
  void Run() {
    pollfd fds[2] = {{client->Fd(), POLLIN, 0}, {wake, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      std::lock_guard<std::recursive_mutex> lock(calls);
      try {
        client->ProcessPending(std::chrono::milliseconds(0));
      } catch (...) {
        return;  // the connection is gone: calls report it from now on
      }
      if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) return;
    }
  }
};

namespace {

// Runs `call` under the connection's call lock, then dispatches what arrived with the reply; translates
// every failure into a status.
template <class Call>
mivodb_status Locked(mivodb_connection* db, Call&& call) {
  if (db == nullptr) return Fail(MIVODB_E_ARGUMENT, "no connection");
  try {
    std::lock_guard<std::recursive_mutex> lock(db->calls);
    call();
    db->client->ProcessPending(std::chrono::milliseconds(0));
    return MIVODB_OK;
  } catch (const BusError& e) {
    return Fail(MIVODB_E_CALL, e.message(), e.name());
  } catch (const std::bad_alloc&) {
    return Fail(MIVODB_E_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return Fail(MIVODB_E_CALL, e.what());
  }
}

// Translates failures outside the call lock (cache hits, argument checks).
template <class Body>
mivodb_status Guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(MIVODB_E_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return Fail(MIVODB_E_CALL, e.what());
  }
}

bool ResultBool(const VARIANT& v) { return v.vt == VT_BOOL && v.llVal != 0; }

VARIANT InvokeMethod(mivodb_connection* db, DISPID id, std::vector<VARIANT> args) {
  return db->client->Invoke(db->path, id, args).result;
}

// Calls a dispatch method without arguments whose result is a boolean, into *ok (which may be null).
mivodb_status CallFlag(mivodb_connection* db, DISPID id, int* ok) {
  return Locked(db, [&] {
    const bool r = ResultBool(InvokeMethod(db, id, {}));
    if (ok) *ok = r ? 1 : 0;
  });
}

using Answers = std::vector<AutomationClient::Answer>;

// Answers a batch: cached items from the cache, the rest from the server in chunks the server takes, then
// cached. `texts` chooses the language or the configuration side.
mivodb_status Batch(mivodb_connection* db, const mivodb_item* items, std::size_t count,
                    mivodb_answer* answers, bool texts) {
  if (db == nullptr || (count > 0 && (items == nullptr || answers == nullptr)))
    return Fail(MIVODB_E_ARGUMENT, "no connection, items or answers");
  for (std::size_t i = 0; i < count; ++i) {
    answers[i] = {0, nullptr};
    if (items[i].module == nullptr || items[i].key == nullptr)
      return Fail(MIVODB_E_ARGUMENT, "item " + std::to_string(i) + " has no module or key");
  }
  auto find = [&](std::size_t i) {
    return texts ? db->cache.FindText(items[i].module, items[i].key)
                 : db->cache.FindConfig(items[i].module, items[i].key);
  };
  std::vector<Cache::Entry> found(count);
  std::vector<std::size_t> missing;
  const mivodb_status status = Guarded([&] {
    for (std::size_t i = 0; i < count; ++i) {
      std::optional<Cache::Entry> hit = db->caching ? find(i) : std::nullopt;
      if (hit) {
        found[i] = std::move(*hit);
      } else {
        missing.push_back(i);
      }
    }
    return MIVODB_OK;
  });
  if (status != MIVODB_OK) return status;
  if (!missing.empty()) {
    const mivodb_status s = Locked(db, [&] {
      for (std::size_t start = 0; start < missing.size(); start += mivo::ole::kMaxBatchItems) {
        const std::size_t end = std::min(missing.size(), start + mivo::ole::kMaxBatchItems);
        AutomationClient::Items asked;
        asked.reserve(end - start);
        for (std::size_t j = start; j < end; ++j) {
          asked.emplace_back(AfxFromUtf8(items[missing[j]].module), AfxFromUtf8(items[missing[j]].key));
        }
        const Answers got = texts ? db->client->GetLanguageStrings(db->path, asked)
                                  : db->client->GetConfigStrings(db->path, asked);
        for (std::size_t j = start; j < end; ++j) {
          const std::size_t i = missing[j];
          found[i] = {got[j - start].found, Utf8(got[j - start].text)};
          if (!db->caching) continue;
          if (texts) {
            db->cache.StoreText(items[i].module, items[i].key, found[i]);
          } else {
            db->cache.StoreConfig(items[i].module, items[i].key, found[i]);
          }
        }
      }
    });
    if (s != MIVODB_OK) return s;
  }
  return Guarded([&] {
    std::size_t i = 0;
    try {
      for (; i < count; ++i) answers[i] = {found[i].found ? 1 : 0, Copy(found[i].text)};
    } catch (...) {
      mivodb_free_answers(answers, i);
      throw;
    }
    return MIVODB_OK;
  });
}

// One item through Batch: the text and found flag.
mivodb_status Single(mivodb_connection* db, const char* module, const char* key, char** text, int* found,
                     bool texts) {
  if (text == nullptr) return Fail(MIVODB_E_ARGUMENT, "no place for the text");
  *text = nullptr;
  const mivodb_item item{module, key};
  mivodb_answer answer{0, nullptr};
  const mivodb_status s = Batch(db, &item, 1, &answer, texts);
  if (s != MIVODB_OK) return s;
  *text = answer.text;
  if (found) *found = answer.found;
  return MIVODB_OK;
}

}  // namespace

extern "C" {

mivodb_status mivodb_open(const char* address, unsigned flags, mivodb_connection** out) {
  if (out == nullptr) return Fail(MIVODB_E_ARGUMENT, "no place for the connection");
  *out = nullptr;
  try {
    auto db = std::make_unique<mivodb_connection>();
    db->caching = (flags & MIVODB_OPEN_NO_CACHE) == 0;
    try {
      db->client = address ? std::make_unique<AutomationClient>(kService, address)
                           : std::make_unique<AutomationClient>(kService);
    } catch (const BusError& e) {
      return Fail(MIVODB_E_CONNECT, e.message(), e.name());
    }
    db->path = db->client->class_path();
    mivodb_connection* raw = db.get();
    db->client->SubscribeChanges([raw](const AutomationClient::Change& c) { raw->OnChange(c); });
    db->wake = ::eventfd(0, EFD_CLOEXEC);
    if (db->wake < 0) return Fail(MIVODB_E_CONNECT, std::string("eventfd: ") + std::strerror(errno));
    db->thread = std::thread([raw] { raw->Run(); });
    *out = db.release();
    return MIVODB_OK;
  } catch (const BusError& e) {
    return Fail(MIVODB_E_CONNECT, e.message(), e.name());
  } catch (const std::bad_alloc&) {
    return Fail(MIVODB_E_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return Fail(MIVODB_E_CONNECT, e.what());
  }
}

void mivodb_close(mivodb_connection* db) { delete db; }

const char* mivodb_error_message(void) { return t_message.c_str(); }
const char* mivodb_error_name(void) { return t_name.c_str(); }

void mivodb_free(void* text) { std::free(text); }

void mivodb_free_answers(mivodb_answer* answers, size_t count) {
  if (answers == nullptr) return;
  for (std::size_t i = 0; i < count; ++i) {
    std::free(answers[i].text);
    answers[i].text = nullptr;
  }
}

mivodb_status mivodb_set_language(mivodb_connection* db, int16_t language, int user_flag, int* ok) {
  return Locked(db, [&] {
    const bool r =
        ResultBool(InvokeMethod(db, kSetLanguage, {VARIANT::I2(language), VARIANT::Bool(user_flag != 0)}));
    if (ok) *ok = r ? 1 : 0;
  });
}

mivodb_status mivodb_get_language(mivodb_connection* db, int16_t* language) {
  if (db == nullptr || language == nullptr) return Fail(MIVODB_E_ARGUMENT, "no connection or language");
  if (db->caching) {
    if (const std::optional<std::int16_t> known = db->cache.Language()) {
      *language = *known;
      return MIVODB_OK;
    }
  }
  return Locked(db, [&] {
    *language = db->client->Language();
    if (db->caching) db->cache.StoreLanguage(*language);
  });
}

mivodb_status mivodb_get_text(mivodb_connection* db, const char* module, const char* key, char** text,
                              int* found) {
  return Single(db, module, key, text, found, true);
}

mivodb_status mivodb_get_texts(mivodb_connection* db, const mivodb_item* items, size_t count,
                               mivodb_answer* answers) {
  return Batch(db, items, count, answers, true);
}

mivodb_status mivodb_get_config(mivodb_connection* db, const char* module, const char* key, char** value,
                                int* found) {
  return Single(db, module, key, value, found, false);
}

mivodb_status mivodb_get_configs(mivodb_connection* db, const mivodb_item* items, size_t count,
                                 mivodb_answer* answers) {
  return Batch(db, items, count, answers, false);
}

mivodb_status mivodb_set_config(mivodb_connection* db, const char* module, const char* key, const char* value,
                                int* ok) {
  if (module == nullptr || key == nullptr || value == nullptr)
    return Fail(MIVODB_E_ARGUMENT, "no module, key or value");
  return Locked(db, [&] {
    const bool r =
        ResultBool(InvokeMethod(db, kSetConfigString,
                                {VARIANT::Bstr(AfxFromUtf8(value)), VARIANT::Bstr(AfxFromUtf8(module)),
                                 VARIANT::Bstr(AfxFromUtf8(key))}));
    if (ok) *ok = r ? 1 : 0;
  });
}

mivodb_status mivodb_get_charset(mivodb_connection* db, int16_t* code) {
  if (code == nullptr) return Fail(MIVODB_E_ARGUMENT, "no place for the code");
  return Locked(db, [&] { *code = static_cast<int16_t>(InvokeMethod(db, kGetCurCharsetCode, {}).llVal); });
}

mivodb_status mivodb_refresh_texts(mivodb_connection* db, int* ok) {
  return CallFlag(db, kRefreshLangDB, ok);
}

mivodb_status mivodb_refresh_config(mivodb_connection* db, int* ok) {
  return CallFlag(db, kRefreshConfDB, ok);
}

mivodb_status mivodb_explain(mivodb_connection* db, const char* module, const char* key, char** text,
                             char** source, int16_t* language) {
  if (module == nullptr || key == nullptr || text == nullptr || source == nullptr || language == nullptr)
    return Fail(MIVODB_E_ARGUMENT, "no module, key or place for the results");
  *text = *source = nullptr;
  AutomationClient::Explanation e;
  const mivodb_status s = Locked(
      db, [&] { e = db->client->ExplainLanguageString(db->path, AfxFromUtf8(module), AfxFromUtf8(key)); });
  if (s != MIVODB_OK) return s;
  return Guarded([&] {
    *text = Copy(Utf8(e.text));
    try {
      *source = Copy(e.source);
    } catch (...) {
      std::free(*text);
      *text = nullptr;
      throw;
    }
    *language = e.language;
    return MIVODB_OK;
  });
}

mivodb_status mivodb_on_change(mivodb_connection* db, mivodb_change_callback callback, void* user) {
  if (db == nullptr) return Fail(MIVODB_E_ARGUMENT, "no connection");
  std::lock_guard<std::mutex> lock(db->callback_mutex);
  db->callback = callback;
  db->callback_user = user;
  return MIVODB_OK;
}

}  // extern "C"
