// A bounded load run of the real server over a private bus: several clients, each a thread with its own
// connection and its own automation object, make a fixed number of mixed calls each and check every
// answer against what the databases hold; the server's resident size is compared before and after.
//
//   load_bus [--clients N] [--calls N] [--server PATH] [--max-growth-kb N]
//     --clients N        client threads (default 4)
//     --calls N          mixed calls per client (default 25000)
//     --server PATH      the server executable (default: app/mivodb of this build)
//     --max-growth-kb N  the resident-size growth allowed between warm-up and end, KiB (default 1024)
//
// The mix: GetLanguageString / GetLanguageString2 (texts of three languages, one of them the fallback,
// some missing or empty in one language, some user-defined), GetConfigString / GetConfigString2,
// SetConfigString on keys of the client's own and on one key all clients share, GetCurCharsetCode, and
// now and then SetLanguage, RefreshLangDB and RefreshConfDB. A quarter of the calls go late-bound, through
// Mivo.DataBase.Dispatch.Invoke by DISPID (numbers as VT_I4, which the server converts), the rest through
// the typed interface.
//
// What counts as the expected answer:
// - Language texts: the language in effect is known exactly, because a client switching languages holds
//   a lock that the clients' language calls share; the other calls run freely. The answer must be the
//   text the databases hold for that language (user databases over machine ones), else the fallback
//   language's, else the key itself, as the server's lookup rules say.
// - Own configuration keys: one writer, so a read must give exactly the value this client wrote last
//   (before its first write: the database's value, or nothing).
// - The shared key: a read must give a value that some client wrote, and no older one of a client than
//   that client's last write completed before the read was sent.
// - At the end: every client's keys read back again, after a RefreshConfDB, and straight from the
//   configuration database; the objects are released and the server's object count is 0.
// The resident size "after warm-up" is taken when every client has made its first 1000 calls (half of
// --calls when that is less than 2000); "at end" after the final read-backs. Exit code 0 only when there
// were no errors and the growth is within the limit; 1 otherwise; 2 on bad usage.
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Constants.h"
#include "automation/MivoDBClient.h"
#include "bench/bus_harness.h"
#include "platform/afx/afx.h"
#include "platform/win32/winnls.h"

namespace {

using Clock = std::chrono::steady_clock;
using mivo::ole::BusError;

using mivobench::Die;
using mivobench::StoredText;

constexpr WORD kEnglish = 0x0409;
constexpr WORD kRussian = 0x0419;
constexpr WORD kGerman = 0x0407;  // the fallback language
constexpr int kConfigLanguage = 99;
constexpr UINT kSystemCodePage = 1252;  // set as the run's system code page
constexpr int kItems = 1000;
constexpr int kModules = 20;
constexpr int kServerSettings = 40;
constexpr int kOwnKeys = 8;
// Key0 to Key3 exist in the database; Key4 to Key6 and the empty key (the server's "|EMPTY|") are
// registered by writes.
constexpr int kPresetOwnKeys = 4;
constexpr int kWarmUpCalls = 1000;
constexpr std::size_t kProblemsShown = 12;

CString W(const std::string& utf8) { return AfxFromUtf8(utf8); }
std::string N(const CString& s) { return AfxToUtf8(s); }

// The bytes of `text` in `codePage`, read in the system code page: how a database keeps a text of a
// language whose code page is not the system's. Dies when the text does not fit the code page.
CString AsKeptFor(UINT codePage, const CString& text) {
  if (codePage == kSystemCodePage || text.empty()) return text;
  const int units = static_cast<int>(text.size());
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(codePage, 0, text.data(), units, nullptr, 0, nullptr, &lossy);
  std::string bytes(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), units, bytes.data(), n, nullptr, &lossy);
  const int m = MultiByteToWideChar(kSystemCodePage, 0, bytes.data(), n, nullptr, 0);
  CString kept(static_cast<std::size_t>(m), u'\0');
  MultiByteToWideChar(kSystemCodePage, 0, bytes.data(), n, kept.data(), m);
  if (lossy || n <= 0 || m != n) Die("a test text does not fit code page " + std::to_string(codePage));
  return kept;
}

UINT CodePageOf(WORD language) { return language == kRussian ? 1251 : kSystemCodePage; }

// ---- The language texts ----

// One item of the language databases with its texts as a client must see them (the winning text of
// each language; an empty text is stored empty; a missing language has no row).
struct Item {
  CString module;
  CString key;
  bool userDefined = false;
  std::map<WORD, CString> texts;
};

struct LanguageData {
  std::vector<Item> items;
  std::map<std::pair<CString, CString>, std::size_t> index;
  std::vector<StoredText> machineRows;  // lang.db, in the machine list
  std::vector<StoredText> userRows;     // lang-user.db, in the user list: overrides some texts
};

// Items by their number: 0-5 of every 10 have all three languages, 6 lacks English, 7 has an empty
// Russian text, 8 lacks German, 9 is user-defined. Every 25th (from 3) has its English and German texts
// overridden by the user database. Lengths vary; Russian texts are Cyrillic, German ones Latin-1.
LanguageData MakeLanguageData() {
  LanguageData d;
  for (int i = 0; i < kItems; ++i) {
    Item item;
    item.module = W("Module" + std::to_string(i % kModules));
    item.key = W("IDS_TEXT_" + std::to_string(i));
    const int kind = i % 10;
    item.userDefined = kind == 9;
    const std::string tail(static_cast<std::size_t>(i % 50 == 1 ? 300 : (i * 37) % 120), 'x');
    const std::string n = std::to_string(i);
    std::map<WORD, CString> machine;
    if (kind != 6) machine[kEnglish] = W("Message " + n + " in English " + tail);
    machine[kRussian] = kind == 7 ? CString() : W("Сообщение " + n + " по-русски: Ёжик в тумане " + tail);
    if (kind != 8) machine[kGerman] = W("Meldung " + n + " auf Deutsch: Größe, Übermaß " + tail);
    item.texts = machine;
    for (const auto& [language, text] : machine) {
      d.machineRows.push_back(
          {item.module, item.key, language, AsKeptFor(CodePageOf(language), text), item.userDefined});
    }
    if (i % 25 == 3) {
      for (WORD language : {kEnglish, kGerman}) {
        if (!machine.count(language)) continue;
        const CString text = W("Override " + n + " for the user, " + std::to_string(language));
        item.texts[language] = text;
        d.userRows.push_back({item.module, item.key, language, text, item.userDefined});
      }
    }
    d.index[{item.module, item.key}] = d.items.size();
    d.items.push_back(std::move(item));
  }
  return d;
}

// The server's language state as the clients' calls have made it.
struct LanguageState {
  WORD current = kEnglish;  // the language selected
  WORD stored = kEnglish;   // the language the current-language store holds
  bool storedFlag = true;   // the user flag it was loaded with

  static bool IsFallback(WORD id) { return ((id ^ kGerman) & 0x3FF) == 0; }

  // What SetLanguage(id, flag) does to the state.
  void Select(WORD id, bool flag) {
    if (id == current) return;
    current = id;
    if (IsFallback(id) || id == stored) return;
    stored = id;
    storedFlag = flag;
  }

  short Charset() const { return stored == kRussian ? 204 : 0; }

  // The text a lookup must give, and whether it is found.
  std::pair<CString, bool> Expected(const LanguageData& d, const CString& module, const CString& key) const {
    const auto it = d.index.find({module, key});
    if (it == d.index.end()) return {key, false};
    const Item& item = d.items[it->second];
    auto visible = [&](WORD language, bool flag) -> const CString* {
      const auto t = item.texts.find(language);
      if (t == item.texts.end() || t->second.empty() || (item.userDefined && !flag)) return nullptr;
      return &t->second;
    };
    const CString* text = IsFallback(current) ? nullptr : visible(stored, storedFlag);
    if (text == nullptr) text = visible(kGerman, false);  // the fallback store is loaded without user items
    return text ? std::pair{*text, true} : std::pair{key, false};
  }
};

// ---- The configuration ----

CString OwnModule(int client) { return W("Client" + std::to_string(client)); }
CString OwnKey(int k) { return k == kOwnKeys - 1 ? CString() : W("Key" + std::to_string(k)); }
// The key the database holds for OwnKey(k).
CString StoredOwnKey(int k) { return k == kOwnKeys - 1 ? CString(u"|EMPTY|") : OwnKey(k); }
CString PresetOwnValue(int client, int k) {
  return W("preset " + std::to_string(client) + "/" + std::to_string(k) + " çà");
}
CString ServerSetting(int j) { return W("value " + std::to_string(j) + " für Größe é"); }
const CString kSharedModule = u"Shared";
const CString kSharedKey = u"Last";
const CString kSharedInitial = u"initial";

std::vector<StoredText> ConfigRows(int clients) {
  std::vector<StoredText> rows;
  for (int j = 0; j < kServerSettings; ++j)
    rows.push_back({u"Server", W("Setting" + std::to_string(j)), kConfigLanguage, ServerSetting(j)});
  rows.push_back({u"Server", u"Blank", kConfigLanguage, u"|EMPTY|"});
  for (int c = 0; c < clients; ++c) {
    for (int k = 0; k < kPresetOwnKeys; ++k)
      rows.push_back({OwnModule(c), OwnKey(k), kConfigLanguage, PresetOwnValue(c, k)});
  }
  rows.push_back({kSharedModule, kSharedKey, kConfigLanguage, kSharedInitial});
  return rows;
}

// The value a client writes: its number, the key, a sequence number, some Latin-1 letters and a length
// that varies, one in 11 longer than 255 characters; every 13th write is the empty value.
CString OwnValue(int client, int k, long n) {
  if (n % 13 == 0) return CString();
  const std::string pad(static_cast<std::size_t>(n % 11 == 5 ? 260 + n % 140 : (n * 7) % 90), '-');
  return W("c" + std::to_string(client) + " k" + std::to_string(k) + " n" + std::to_string(n) + " àéîõü ß" +
           pad);
}

CString SharedValue(int client, long n) {
  return W("shared c" + std::to_string(client) + " n" + std::to_string(n));
}

// ---- What the clients share ----

// Calls of one method and the time spent in them (the client's side: the round trip, checks included).
struct MethodFigures {
  long calls = 0;
  double seconds = 0;
};

struct Run {
  const LanguageData* languages = nullptr;
  int clients = 0;
  long calls = 0;
  long warmUp = 0;
  pid_t server = -1;
  std::string address;

  std::shared_mutex languageLock;  // exclusive for SetLanguage, shared for the calls that depend on it
  LanguageState language;

  // Per client: the sequence number of its last write of the shared key sent, and of the last one answered.
  std::unique_ptr<std::atomic<long>[]> sharedSent, sharedDone;

  std::atomic<long> made{0}, finalCalls{0}, failed{0}, wrong{0}, messages{0}, readBacks{0}, readBacksWrong{0};
  std::map<std::string, MethodFigures> perMethod;  // under problemsLock, added once per client
  std::mutex problemsLock;
  std::vector<std::string> problems;

  void Problem(const std::string& what) {
    std::lock_guard<std::mutex> lock(problemsLock);
    if (problems.size() < kProblemsShown) problems.push_back(what);
  }
};

std::string Quote(const CString& s) {
  std::string u = N(s);
  if (u.size() > 70) u = u.substr(0, 67) + "...";
  return "\"" + u + "\"";
}

class Client {
 public:
  Client(Run& run, int index) : run_(run), index_(index), random_(1000u + static_cast<unsigned>(index)) {}

  // Connects, makes the mixed calls (waiting at `warmUp` for the other clients), reads its keys back
  // and releases its object. Every failure is counted; nothing escapes.
  template <class Barrier>
  void Work(Barrier& warmUp) {
    bool arrived = false;
    try {
      client_ = CMivoDBClient::Connect(run_.address);
      client_->SubscribeMessages([this](const CString& title, const CString& text) {
        ++run_.messages;
        run_.Problem("server message: " + N(title) + ": " + N(text));
      });
      path_ = client_->CreateInstance();
      for (long n = 0; n < run_.calls; ++n) {
        if (n == run_.warmUp) {
          warmUp.arrive_and_wait();
          arrived = true;
        }
        OneCall(n);
      }
      if (!arrived) {
        warmUp.arrive_and_wait();
        arrived = true;
      }
      lateBound_ = false;
      for (int k = 0; k < kOwnKeys; ++k) {
        ++run_.finalCalls;
        Guarded("final read-back", [&] { CheckOwnKey(k, true); });
      }
      client_->Release(path_);
    } catch (const std::exception& e) {
      ++run_.failed;
      run_.Problem("client " + std::to_string(index_) + " stopped: " + e.what());
      if (!arrived) warmUp.arrive_and_drop();
    }
    std::lock_guard<std::mutex> lock(run_.problemsLock);
    for (const auto& [method, figures] : counts_) {
      run_.perMethod[method].calls += figures.calls;
      run_.perMethod[method].seconds += figures.seconds;
    }
  }

  // The value this client wrote last to its key k (nullopt: never written).
  const std::optional<CString>& LastWritten(int k) const { return written_[static_cast<std::size_t>(k)]; }
  long SharedWrites() const { return sharedWrites_; }

 private:
  template <class Call>
  void Guarded(const char* method, Call&& call) {
    MethodFigures& figures = counts_[method];
    ++figures.calls;
    ++run_.made;
    const auto start = Clock::now();
    try {
      call();
    } catch (const BusError& e) {
      ++run_.failed;
      run_.Problem(std::string(method) + " failed: " + e.what());
    }
    figures.seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }

  void Wrong(const std::string& what) {
    ++run_.wrong;
    run_.Problem("client " + std::to_string(index_) + ": " + what);
  }

  int Pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }

  // ---- The server's methods, typed (interface Mivo.DataBase.OLEServer) or, when lateBound_ says so,
  // through Mivo.DataBase.Dispatch.Invoke by DISPID with arguments the server has to convert (numbers as
  // VT_I4). A late-bound result of the wrong type is a failed call.

  VARIANT InvokeFor(DISPID dispid, VARTYPE resultType, std::vector<VARIANT> args) {
    VARIANT result = client_->Invoke(path_, dispid, args).result;
    if (result.vt != resultType || (resultType == VT_BSTR && !result.bstrVal)) {
      throw BusError(mivo::ole::kProtocolError,
                     "DISPID " + std::to_string(dispid) + " returned type " + std::to_string(result.vt));
    }
    return result;
  }

  bool SetLanguageCall(WORD id, bool flag) {
    if (!lateBound_) return client_->SetLanguage(path_, static_cast<std::int16_t>(id), flag);
    return InvokeFor(1, VT_BOOL, {VARIANT::I4(id), VARIANT::I4(flag ? 1 : 0)}).llVal != 0;
  }

  // GetLanguageString (DISPID 2) or GetConfigString (6).
  CString GetStringCall(DISPID dispid, const CString& module, const CString& key) {
    if (!lateBound_) {
      return dispid == 2 ? client_->GetLanguageString(path_, module, key)
                         : client_->GetConfigString(path_, module, key);
    }
    return *InvokeFor(dispid, VT_BSTR, {VARIANT::Bstr(module), VARIANT::Bstr(key)}).bstrVal;
  }

  // GetLanguageString2 (DISPID 3) or GetConfigString2 (7): `text` goes in and comes back replaced.
  bool GetString2Call(DISPID dispid, CString& text, const CString& module, const CString& key) {
    if (!lateBound_) {
      return dispid == 3 ? client_->GetLanguageString2(path_, text, module, key)
                         : client_->GetConfigString2(path_, text, module, key);
    }
    BSTR storage = text;
    const bool found =
        InvokeFor(dispid, VT_BOOL, {VARIANT::ByRefBstr(&storage), VARIANT::Bstr(module), VARIANT::Bstr(key)})
            .llVal != 0;
    text = storage.value_or(u"(null)");
    return found;
  }

  bool SetConfigCall(const CString& value, const CString& module, const CString& key) {
    if (!lateBound_) return client_->SetConfigString(path_, value, module, key);
    return InvokeFor(5, VT_BOOL, {VARIANT::Bstr(value), VARIANT::Bstr(module), VARIANT::Bstr(key)}).llVal !=
           0;
  }

  short CharsetCall() {
    if (!lateBound_) return client_->GetCurCharsetCode(path_);
    return static_cast<short>(InvokeFor(8, VT_I2, {}).llVal);
  }

  // RefreshConfDB (DISPID 9) or RefreshLangDB (10).
  bool RefreshCall(DISPID dispid) {
    if (!lateBound_) return dispid == 9 ? client_->RefreshConfDB(path_) : client_->RefreshLangDB(path_);
    return InvokeFor(dispid, VT_BOOL, {}).llVal != 0;
  }

  void OneCall(long n) {
    const int roll = Pick(1000);
    lateBound_ = Pick(4) == 0;
    if (roll < 330) {
      Guarded("GetLanguageString", [&] { LanguageLookup(false); });
    } else if (roll < 530) {
      Guarded("GetLanguageString2", [&] { LanguageLookup(true); });
    } else if (roll < 660) {
      Guarded("GetConfigString", [&] { ConfigLookup(false); });
    } else if (roll < 750) {
      Guarded("GetConfigString2", [&] { ConfigLookup(true); });
    } else if (roll < 900) {
      Guarded("SetConfigString", [&] { ConfigWrite(n); });
    } else if (roll < 980) {
      Guarded("GetCurCharsetCode", [&] { Charset(); });
    } else if (roll < 992) {
      Guarded("SetLanguage", [&] { SelectLanguage(); });
    } else if (roll < 996) {
      Guarded("RefreshLangDB", [&] {
        if (!RefreshCall(10)) Wrong("RefreshLangDB gave FALSE");
      });
    } else {
      Guarded("RefreshConfDB", [&] {
        if (!RefreshCall(9)) Wrong("RefreshConfDB gave FALSE");
      });
    }
  }

  void LanguageLookup(bool withFound) {
    const LanguageData& d = *run_.languages;
    CString module, key;
    const int what = Pick(100);
    if (what < 90) {
      const Item& item = d.items[static_cast<std::size_t>(Pick(kItems))];
      module = item.module;
      key = item.key;
    } else if (what < 95) {
      module = d.items[static_cast<std::size_t>(Pick(kItems))].module;
      key = W("IDS_MISSING_" + std::to_string(Pick(100000)));
    } else {
      module = u"NoSuchModule";
      key = d.items[static_cast<std::size_t>(Pick(kItems))].key;
    }
    std::shared_lock<std::shared_mutex> lock(run_.languageLock);
    const auto [expected, found] = run_.language.Expected(d, module, key);
    if (withFound) {
      CString text = u"text from before the call";
      const bool gotFound = GetString2Call(3, text, module, key);
      if (text != expected || gotFound != found) {
        Wrong("GetLanguageString2(" + N(module) + ", " + N(key) + ") gave " +
              (gotFound ? "TRUE " : "FALSE ") + Quote(text) + ", expected " + (found ? "TRUE " : "FALSE ") +
              Quote(expected) + " (language " + std::to_string(run_.language.current) + ")");
      }
    } else {
      const CString text = GetStringCall(2, module, key);
      if (text != expected) {
        Wrong("GetLanguageString(" + N(module) + ", " + N(key) + ") gave " + Quote(text) + ", expected " +
              Quote(expected) + " (language " + std::to_string(run_.language.current) + ")");
      }
    }
  }

  // Reads a value through GetConfigString or GetConfigString2; `found` only for the latter.
  CString ReadConfig(bool withFound, const CString& module, const CString& key, std::optional<bool>& found) {
    if (!withFound) return GetStringCall(6, module, key);
    CString value = u"value from before the call";
    found = GetString2Call(7, value, module, key);
    return value;
  }

  // Counts a wrong answer (and returns false) unless `got` (and `gotFound`, when given) are the expected.
  bool ExpectConfig(const char* method, const CString& module, const CString& key, const CString& got,
                    const std::optional<bool>& gotFound, const CString& expected, bool expectedFound) {
    if (got == expected && (!gotFound || *gotFound == expectedFound)) return true;
    Wrong(std::string(method) + "(" + N(module) + ", " + N(key) + ") gave " + Quote(got) +
          (gotFound ? (*gotFound ? " TRUE" : " FALSE") : "") + ", expected " + Quote(expected) +
          (gotFound ? (expectedFound ? " TRUE" : " FALSE") : ""));
    return false;
  }

  void CheckOwnKey(int k, bool withFound) {
    const CString module = OwnModule(index_), key = OwnKey(k);
    std::optional<bool> found;
    const CString got = ReadConfig(withFound, module, key, found);
    const std::optional<CString>& last = LastWritten(k);
    const CString expected = last ? *last : (k < kPresetOwnKeys ? PresetOwnValue(index_, k) : CString());
    const bool expectedFound = last.has_value() || k < kPresetOwnKeys;
    const bool ok = ExpectConfig(withFound ? "GetConfigString2" : "GetConfigString", module, key, got, found,
                                 expected, expectedFound);
    if (last) {
      ++run_.readBacks;
      if (!ok) ++run_.readBacksWrong;
    }
  }

  void CheckSharedKey(bool withFound) {
    std::vector<long> before(static_cast<std::size_t>(run_.clients));
    for (int c = 0; c < run_.clients; ++c) before[static_cast<std::size_t>(c)] = run_.sharedDone[c].load();
    std::optional<bool> found;
    const CString got = ReadConfig(withFound, kSharedModule, kSharedKey, found);
    bool ok = !found || *found;
    if (got == kSharedInitial) {
      ok = ok && std::all_of(before.begin(), before.end(), [](long v) { return v == 0; });
    } else {
      int c = -1;
      long n = -1;
      char rest = 0;
      ok = ok && std::sscanf(N(got).c_str(), "shared c%d n%ld%c", &c, &n, &rest) == 2 && c >= 0 &&
           c < run_.clients && n >= std::max(1L, before[static_cast<std::size_t>(c)]) &&
           n <= run_.sharedSent[c].load();
    }
    ++run_.readBacks;
    if (!ok) {
      ++run_.readBacksWrong;
      Wrong("the shared key gave " + Quote(got) + ", which no client can have written last");
    }
  }

  void ConfigLookup(bool withFound) {
    const int what = Pick(100);
    if (what < 50) {
      CheckOwnKey(Pick(kOwnKeys), withFound);
    } else if (what < 65) {
      CheckSharedKey(withFound);
    } else {
      std::optional<bool> found;
      const int j = Pick(kServerSettings + 2);
      const char* method = withFound ? "GetConfigString2" : "GetConfigString";
      if (j < kServerSettings) {
        const CString key = W("Setting" + std::to_string(j));
        ExpectConfig(method, u"Server", key, ReadConfig(withFound, u"Server", key, found), found,
                     ServerSetting(j), true);
      } else if (j == kServerSettings) {
        ExpectConfig(method, u"Server", u"Blank", ReadConfig(withFound, u"Server", u"Blank", found), found,
                     CString(), true);
      } else {
        ExpectConfig(method, u"Server", u"Missing", ReadConfig(withFound, u"Server", u"Missing", found),
                     found, CString(), false);
      }
    }
  }

  void ConfigWrite(long n) {
    bool ok;
    if (Pick(100) < 80) {
      const int k = Pick(kOwnKeys);
      const CString value = OwnValue(index_, k, n);
      ok = SetConfigCall(value, OwnModule(index_), OwnKey(k));
      written_[static_cast<std::size_t>(k)] = value;
    } else {
      const long seq = ++sharedWrites_;
      run_.sharedSent[index_] = seq;
      ok = SetConfigCall(SharedValue(index_, seq), kSharedModule, kSharedKey);
      run_.sharedDone[index_] = seq;
    }
    if (!ok) Wrong("SetConfigString gave FALSE");
  }

  void Charset() {
    std::shared_lock<std::shared_mutex> lock(run_.languageLock);
    const short got = CharsetCall();
    if (got != run_.language.Charset()) {
      Wrong("GetCurCharsetCode gave " + std::to_string(got) + ", expected " +
            std::to_string(run_.language.Charset()));
    }
  }

  void SelectLanguage() {
    static constexpr WORD kChoices[] = {kEnglish, kRussian, kGerman};
    const WORD id = kChoices[Pick(3)];
    const bool flag = Pick(2) == 1;
    std::unique_lock<std::shared_mutex> lock(run_.languageLock);
    const bool ok = SetLanguageCall(id, flag);
    run_.language.Select(id, flag);
    if (!ok) Wrong("SetLanguage(" + std::to_string(id) + ") gave FALSE");
  }

  Run& run_;
  const int index_;
  std::mt19937 random_;
  std::unique_ptr<CMivoDBClient> client_;
  std::string path_;
  bool lateBound_ = false;  // whether the current call goes through Invoke
  std::optional<CString> written_[kOwnKeys];
  long sharedWrites_ = 0;
  std::map<std::string, MethodFigures> counts_;
};

// ---- The end of the run ----

// After the clients: reload the configuration and read every client's keys back through the server and
// straight from the database; the shared key must hold one client's last value. Returns the read-backs
// that did not match.
long CheckAtEnd(Run& run, const std::vector<std::unique_ptr<Client>>& clients, const std::string& configDb) {
  long bad = 0;
  auto fail = [&](const std::string& what) {
    ++bad;
    run.Problem("at the end: " + what);
  };
  std::unique_ptr<CMivoDBClient> checker = CMivoDBClient::Connect(run.address);
  const std::string path = kClassObjectPath;
  if (!checker->RefreshConfDB(path)) fail("RefreshConfDB gave FALSE");

  std::map<std::pair<CString, CString>, std::vector<CString>> stored;
  for (const StoredText& row : mivobench::ReadDatabase(configDb, kConfigLanguage))
    stored[{row.module, row.key}].push_back(row.text);

  std::vector<CString> finalShared;
  for (int c = 0; c < run.clients; ++c) {
    const Client& client = *clients[static_cast<std::size_t>(c)];
    if (client.SharedWrites() > 0) finalShared.push_back(SharedValue(c, client.SharedWrites()));
    for (int k = 0; k < kOwnKeys; ++k) {
      const std::optional<CString>& last = client.LastWritten(k);
      if (!last) continue;
      ++run.readBacks;
      const CString module = OwnModule(c), key = OwnKey(k);
      CString value;
      const auto it = stored.find({module, StoredOwnKey(k)});
      const bool found = checker->GetConfigString2(path, value, module, key);
      if (!found || value != *last)
        fail(N(module) + "/" + N(key) + " after RefreshConfDB gave " + Quote(value) + ", wrote " +
             Quote(*last));
      const CString inDb = last->empty() ? CString(u"|EMPTY|") : *last;
      if (it == stored.end() || it->second.size() != 1 || it->second.front() != inDb) {
        fail(N(module) + "/" + N(StoredOwnKey(k)) + " in the database: " +
             (it == stored.end()
                  ? std::string("no item")
                  : std::to_string(it->second.size()) + " row(s), first " + Quote(it->second.front())) +
             ", wrote " + Quote(inDb));
      }
    }
  }
  ++run.readBacks;
  const CString shared = checker->GetConfigString(path, kSharedModule, kSharedKey);
  const bool sharedOk = finalShared.empty() ? shared == kSharedInitial
                                            : std::count(finalShared.begin(), finalShared.end(), shared) == 1;
  if (!sharedOk) fail("the shared key holds " + Quote(shared) + ", no client's last value");
  const std::uint32_t objects = checker->ObjectCount();
  if (objects != 0)
    fail("ObjectCount is " + std::to_string(objects) + " after every client released its object");
  run.readBacksWrong += bad;
  return bad;
}

struct Options {
  int clients = 4;
  long calls = 25000;
  std::string server;
  long maxGrowthKiB = 1024;
};

void Usage(std::FILE* to) {
  std::fprintf(
      to,
      "usage: load_bus [--clients N] [--calls N] [--server PATH] [--max-growth-kb N]\n"
      "  A bounded load run of the MivoDB server on a private D-Bus: N clients (threads, each with\n"
      "  its own connection) make mixed calls and check every answer; the server's resident size\n"
      "  after warm-up (when every client has made its first 1000 calls) and at the end is compared.\n"
      "  --clients N        client threads (default 4, 1 to 64)\n"
      "  --calls N          mixed calls per client (default 25000, at least 10)\n"
      "  --server PATH      the server executable (default: app/mivodb of this build)\n"
      "  --max-growth-kb N  the growth allowed, KiB (default 1024)\n"
      "  Exit code 0 when every call succeeded with the expected answer and the growth is within\n"
      "  the limit, 1 otherwise, 2 on bad usage.\n");
}

// Parses the options; nullopt (after the usage) for --help or bad usage, with `exitCode` set.
std::optional<Options> ParseOptions(int argc, char** argv, int& exitCode) {
  Options o;
  auto number = [&](int& i, long low, long high, long& out) {
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    const long v = std::strtol(argv[++i], &end, 10);
    if (end == argv[i] || *end != '\0' || v < low || v > high) return false;
    out = v;
    return true;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    long v = 0;
    bool ok = true;
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      exitCode = 0;
      return std::nullopt;
    } else if (a == "--clients") {
      ok = number(i, 1, 64, v);
      o.clients = static_cast<int>(v);
    } else if (a == "--calls") {
      ok = number(i, 10, 100000000, o.calls);
    } else if (a == "--max-growth-kb") {
      ok = number(i, 0, 100000000, o.maxGrowthKiB);
    } else if (a == "--server" && i + 1 < argc) {
      o.server = argv[++i];
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "load_bus: bad argument near '%s'\n", a.c_str());
      Usage(stderr);
      exitCode = 2;
      return std::nullopt;
    }
  }
  return o;
}

int RunLoad(const Options& options) {
  const std::string server = mivobench::FindServer(options.server);
  const LanguageData languages = MakeLanguageData();

  mivobench::BusRun bus;
  mivobench::WriteDatabase(bus.Path("lang.db"), {kGerman, kEnglish, kRussian}, languages.machineRows);
  mivobench::WriteDatabase(bus.Path("lang-user.db"), {kGerman, kEnglish, kRussian}, languages.userRows);
  const std::string configDb = bus.Path("config.db");
  mivobench::WriteDatabase(configDb, {kEnglish}, ConfigRows(options.clients));
  const CString databaseKey = u"Software\\Mivotec\\DataBase";
  mivobench::SetRegString(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", u"ACP",
                          W(std::to_string(kSystemCodePage)));
  mivobench::SetRegString(HKEY_LOCAL_MACHINE, (databaseKey + u"\\LanguageDataBase's").c_str(), u"Main",
                          W(bus.Path("lang.db")));
  mivobench::SetRegString(HKEY_CURRENT_USER, (databaseKey + u"\\LanguageDataBase's").c_str(), u"Mine",
                          W(bus.Path("lang-user.db")));
  mivobench::SetRegString(HKEY_LOCAL_MACHINE, (databaseKey + u"\\ConfigDataBase's").c_str(), u"Main",
                          W(configDb));
  mivobench::SetRegDword(HKEY_CURRENT_USER, databaseKey.c_str(), u"FallBackLanguageId", kGerman);
  mivobench::SetRegDword(HKEY_CURRENT_USER, databaseKey.c_str(), u"LanguageId", kEnglish);
  mivobench::SetRegDword(HKEY_CURRENT_USER, databaseKey.c_str(), u"UserLang", 1);
  mivo::nls::ResetForTesting();
  bus.RegisterServer(server);

  Run run;
  run.languages = &languages;
  run.clients = options.clients;
  run.calls = options.calls;
  run.warmUp = std::min<long>(kWarmUpCalls, options.calls / 2);
  run.address = bus.StartBus();
  run.server = bus.StartServer(kServiceName);
  run.sharedSent = std::make_unique<std::atomic<long>[]>(static_cast<std::size_t>(options.clients));
  run.sharedDone = std::make_unique<std::atomic<long>[]>(static_cast<std::size_t>(options.clients));

  std::printf("load_bus: %d clients x %ld mixed calls against %s (pid %d) on a private bus\n", run.clients,
              run.calls, server.c_str(), static_cast<int>(run.server));
  const long startKiB = mivobench::ResidentKiB(run.server);
  long warmKiB = -1;
  Clock::time_point warmAt;
  std::barrier warmUp(options.clients, [&]() noexcept {
    warmKiB = mivobench::ResidentKiB(run.server);
    warmAt = Clock::now();
  });

  std::vector<std::unique_ptr<Client>> clients;
  for (int c = 0; c < options.clients; ++c) clients.push_back(std::make_unique<Client>(run, c));
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (auto& c : clients) threads.emplace_back([&c, &warmUp] { c->Work(warmUp); });
  std::atomic<bool> done{false};
  long peakKiB = 0;
  std::thread sampler([&] {
    while (!done) {
      peakKiB = std::max(peakKiB, mivobench::ResidentKiB(run.server));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long mixed = run.made.load() - run.finalCalls.load();

  long endBad = 0;
  try {
    endBad = CheckAtEnd(run, clients, configDb);
  } catch (const std::exception& e) {
    ++run.failed;
    run.Problem(std::string("final check stopped: ") + e.what());
  }
  const long endKiB = mivobench::ResidentKiB(run.server);
  done = true;
  sampler.join();
  peakKiB = std::max(peakKiB, endKiB);

  const long errors = run.failed + run.wrong + run.messages + endBad;
  const long growth = endKiB - warmKiB;
  const bool rssKnown = warmKiB > 0 && endKiB > 0;
  std::printf("  %-20s %8s %10s\n", "method", "calls", "mean ms");
  for (const auto& [method, f] : run.perMethod)
    std::printf("  %-20s %8ld %10.3f\n", method.c_str(), f.calls, f.calls ? f.seconds * 1000 / f.calls : 0.0);
  std::printf("calls              %ld (%d clients, %.1f s; + %ld final read-backs)\n", mixed, run.clients,
              seconds, run.finalCalls.load());
  std::printf(
      "errors             %ld (failed calls %ld, wrong answers %ld, server messages %ld, final checks %ld)\n",
      errors, run.failed.load(), run.wrong.load(), run.messages.load(), endBad);
  std::printf("read-backs         %ld checked, %ld wrong\n", run.readBacks.load(), run.readBacksWrong.load());
  std::printf("calls/s            %.0f\n", static_cast<double>(mixed) / seconds);
  std::printf("RSS at start       %ld KiB\n", startKiB);
  std::printf("RSS after warm-up  %ld KiB (every client past its first %ld calls, %.1f s in)\n", warmKiB,
              run.warmUp, std::chrono::duration<double>(warmAt - start).count());
  std::printf("RSS at end         %ld KiB (peak %ld KiB)\n", endKiB, peakKiB);
  std::printf("growth             %ld KiB (limit %ld KiB)\n", growth, options.maxGrowthKiB);
  for (const std::string& p : run.problems) std::printf("  problem: %s\n", p.c_str());
  const bool pass = errors == 0 && run.readBacksWrong == 0 && rssKnown && growth <= options.maxGrowthKiB;
  std::printf("%s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  const std::optional<Options> options = ParseOptions(argc, argv, exitCode);
  if (!options) return exitCode;
  try {
    return RunLoad(*options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "load_bus: %s\n", e.what());
    return 1;
  }
}
