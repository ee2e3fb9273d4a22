// A client of one automation service on D-Bus: its class object, its automation objects (late-bound and
// typed calls) and its Message signals, for tools, tests and benchmarks. It knows the runtime's contract
// (platform/ole/contract.h), not the application: the service's name is given when connecting, and typed
// calls take their signature from a dispatch map entry.
//
// Contract:
// - An AutomationClient owns one private connection to a bus (the session bus, or an address given by the
//   caller). It belongs to the thread that uses it; several clients in one process are independent
//   connections, each with its own unique name. Destroying the client closes the connection, so the bus
//   sees the client leave (the server then drops the objects that client created).
// - Every call waits at most the client's timeout (default 25 s) for its reply. While it waits, the
//   client dispatches the signals that arrive, so a Message signal the server broadcasts during a call
//   reaches the handler before the call returns.
// - A refused call throws BusError: the D-Bus error name ("Mivo.DataBase.Error.TypeMismatch",
//   "org.freedesktop.DBus.Error.ServiceUnknown", ...) and its message. A reply of an unexpected shape is
//   a BusError named kProtocolError. Connecting throws BusError too.
// - Strings cross the wire as UTF-8 and are CString (UTF-16) on this side.
// - Invoke speaks the variant form of platform/ole/wire.h: a VT_BSTR|VT_BYREF goes with the value of its
//   storage (an empty text for a null one) and, when the call succeeds, its storage receives the value the
//   server returned for it. VT_R4 and VT_DATE go as doubles, VT_I1 as "n". Other types are refused with
//   std::invalid_argument.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/ole/afxdisp.h"
#include "platform/ole/contract.h"

namespace mivo::ole {

// The name of a BusError for a reply this client could not read.
inline constexpr const char* kProtocolError = "Mivo.Client.Error.Protocol";

// A refused call: the D-Bus error name and message.
class BusError : public std::runtime_error {
 public:
  BusError(std::string name, std::string message);
  const std::string& name() const { return name_; }
  const std::string& message() const { return message_; }
  // The HRESULT at the start of the message ("0x80020005 ..."), or 0 when the message has none.
  HRESULT hresult() const;
  // The name without "Mivo.DataBase.Error." ("TypeMismatch"), or the whole name for other errors.
  std::string ShortName() const;

 private:
  std::string name_;
  std::string message_;
};

// The outcome of a successful Invoke: the result and the final value of each by-reference argument, in
// argument order.
struct InvokeResult {
  VARIANT result;
  std::vector<CString> refs;
};

class AutomationClient {
 public:
  using MessageHandler = std::function<void(const CString& title, const CString& text)>;

  // Connects to the session bus (platform/ole/environment.h), as a client of the service `service`
  // (its bus name, which is also its programmatic identifier).
  explicit AutomationClient(const std::string& service);
  // Connects to the bus at a D-Bus address ("unix:path=/tmp/x/bus").
  AutomationClient(const std::string& service, const std::string& address);
  virtual ~AutomationClient();
  AutomationClient(const AutomationClient&) = delete;
  AutomationClient& operator=(const AutomationClient&) = delete;

  void SetTimeout(std::chrono::microseconds timeout) { timeout_ = timeout; }
  std::chrono::microseconds timeout() const { return timeout_; }
  // This connection's unique name on the bus (":1.42").
  std::string UniqueName() const;
  const std::string& service() const { return service_; }
  // The service's class object path (ClassObjectPath of the service name).
  const std::string& class_path() const { return class_path_; }

  // ---- Late binding (Mivo.DataBase.Dispatch) on the object at `path` ----
  // One DISPID per name; an unknown member name throws BusError (UnknownName).
  std::vector<DISPID> GetIDsOfNames(const std::string& path, const std::vector<CString>& names);
  // Calls DISPID `dispid` with `args` in declaration order (see the wire forms at the top).
  InvokeResult Invoke(const std::string& path, DISPID dispid, std::vector<VARIANT>& args);
  // GetIDsOfNames for `name`, then Invoke.
  InvokeResult InvokeByName(const std::string& path, const CString& name, std::vector<VARIANT>& args);
  // Drops the object at `path` (Mivo.DataBase.Dispatch.Release).
  void Release(const std::string& path);

  // ---- Typed calls (the interface named after the service) ----
  // Calls the member `entry` describes with `args`, one VARIANT of each declared parameter type in
  // declaration order (a by-reference parameter as VT_BSTR|VT_BYREF, whose storage receives the value the
  // server returns). The result has the declared result type (VT_EMPTY for none). std::invalid_argument
  // when the arguments do not match the entry.
  VARIANT CallTyped(const std::string& path, const AFX_DISPMAP_ENTRY& entry, std::vector<VARIANT>& args);

  // ---- The class object ----
  // A new automation object; returns its path.
  std::string CreateInstance();
  std::uint32_t ObjectCount();
  std::string ClassId();

  // ---- Batch look-ups (Mivo.DataBase.Batch) on the object at `path` ----
  struct Answer {
    bool found = false;
    CString text;
  };
  using Items = std::vector<std::pair<CString, CString>>;  // (module, key)
  // One answer per item, in the order asked; a batch above kMaxBatchItems is refused (InvalidArgument).
  std::vector<Answer> GetLanguageStrings(const std::string& path, const Items& items);
  std::vector<Answer> GetConfigStrings(const std::string& path, const Items& items);
  struct Explanation {
    CString text;
    std::string source;  // "current", "fallback" or "none"
    std::int16_t language = 0;
  };
  Explanation ExplainLanguageString(const std::string& path, const CString& module, const CString& key);
  // The server's current language id (property Language).
  std::int16_t Language();

  // ---- Events ----
  // A change signal of the class object (contract.h): LanguageChanged sets `language`, ConfigChanged
  // `module`, `key` and `value`, Reloaded `store`.
  struct Change {
    enum class Kind { kLanguage, kConfig, kReloaded } kind = Kind::kLanguage;
    std::int16_t language = 0;
    CString module, key, value;
    std::string store;
  };
  // Calls `handler` for every change signal on the class object's path from now on, in the order they
  // arrive (while a call waits, or in ProcessPending).
  void SubscribeChanges(std::function<void(const Change&)> handler);
  // The connection's descriptor, for waiting until something arrives (poll for POLLIN); what arrives is
  // dispatched by ProcessPending or by the next call, never by the descriptor's reader.
  int Fd() const;
  // Calls `handler` for every Message signal on the class object's path from now on (until the client is
  // destroyed). Several handlers may be subscribed.
  void SubscribeMessages(MessageHandler handler);
  // Dispatches the messages that have arrived, waiting up to `wait` for the first one when none is
  // queued; returns how many were dispatched.
  int ProcessPending(std::chrono::milliseconds wait);
  // Calls `handler` for every change of the owner of the bus name `name` from now on (an empty text
  // stands for no owner).
  void WatchNameOwner(
      const std::string& name,
      std::function<void(const std::string& old_owner, const std::string& new_owner)> handler);

  // ---- The bus itself ----
  bool NameHasOwner(const std::string& name);
  // The unique name that owns `name`; throws BusError (NameHasNoOwner) when nobody does.
  std::string NameOwner(const std::string& name);
  // The process id of the owner of `name` (org.freedesktop.DBus.GetConnectionUnixProcessID).
  std::uint32_t NameOwnerPid(const std::string& name);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::string service_;
  std::string class_path_;
  std::chrono::microseconds timeout_{std::chrono::seconds(25)};
};

// ---- Argument words, as mivoctl call takes them ----

// Parses one argument word into a VARIANT. `ref_storage` receives the storage of a by-reference
// argument (the VARIANT points into it; the caller keeps it alive and unmoved until the call is done).
// Forms: a plain word is a BSTR; "str:TEXT" a BSTR (for a text that looks like a typed form); "i2:N",
// "i4:N", "i8:N", "ui1:N", "ui2:N", "ui4:N", "ui8:N" integers; "r8:X" a double; "bool:true|false|1|0"; "date:
// YYYY-MM-DD[ HH:MM[:SS]]" or a day serial; "null:", "empty:", "nullstr:" (a null BSTR) value-less;
// "ref:TEXT" a by-reference BSTR. A prefix that is no known type makes the whole word a plain BSTR.
// Throws std::invalid_argument naming the word for a malformed value or a number out of range.
VARIANT ParseArgumentWord(const std::string& word, std::vector<std::unique_ptr<BSTR>>& ref_storage);
// A VARIANT as one line of text: decimal numbers, "true"/"false", the text of a BSTR, "(null)" for a
// null BSTR or Null, "(empty)" for Empty, a date as "YYYY-MM-DD[ HH:MM:SS]".
std::string FormatVariant(const VARIANT& value);

}  // namespace mivo::ole
