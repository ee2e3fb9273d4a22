// MivoClient over sd-bus: one private connection, calls sent asynchronously and waited for while the
// connection's other traffic (signals) is dispatched.
#include "platform/ole/client.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace mivo::ole {

BusError::BusError(std::string name, std::string message)
    : std::runtime_error(name + ": " + message), name_(std::move(name)), message_(std::move(message)) {}

HRESULT BusError::hresult() const {
  if (message_.size() < 10 || message_[0] != '0' || (message_[1] != 'x' && message_[1] != 'X')) return 0;
  std::uint32_t value = 0;
  for (std::size_t i = 2; i < 10; ++i) {
    const char c = message_[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return 0;
    }
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  if (message_.size() > 10 && message_[10] != ' ') return 0;
  return static_cast<HRESULT>(value);
}

std::string BusError::ShortName() const {
  const std::string prefix = kErrorPrefix;
  if (name_.compare(0, prefix.size(), prefix) == 0) return name_.substr(prefix.size());
  return name_;
}

namespace {

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotDeleter {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotDeleter>;

// An sd_bus_error freed at the end of its scope.
struct ErrorHolder {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~ErrorHolder() { sd_bus_error_free(&error); }
};

[[noreturn]] void ThrowErrno(const char* what, int r) {
  throw BusError(r == -ECONNRESET || r == -ENOTCONN ? "org.freedesktop.DBus.Error.Disconnected"
                                                    : "org.freedesktop.DBus.Error.Failed",
                 std::string(what) + ": " + std::strerror(-r));
}

void Check(int r, const char* what) {
  if (r < 0) ThrowErrno(what, r);
}

[[noreturn]] void ThrowProtocol(const std::string& what) { throw BusError(kProtocolError, what); }

void ReadCheck(int r, const char* what) {
  if (r <= 0) ThrowProtocol(std::string("unexpected reply: ") + what);
}

std::string ToUtf8(const CString& s) { return AfxToUtf8(s); }

void AppendString(sd_bus_message* m, const CString& s) {
  const std::string utf8 = ToUtf8(s);
  Check(sd_bus_message_append_basic(m, 's', utf8.c_str()), "append string");
}

void AppendValueless(sd_bus_message* m, std::uint32_t vt) {
  Check(sd_bus_message_open_container(m, 'v', "(u)"), "append variant");
  Check(sd_bus_message_open_container(m, 'r', "u"), "append struct");
  Check(sd_bus_message_append_basic(m, 'u', &vt), "append value");
  Check(sd_bus_message_close_container(m), "append struct");
  Check(sd_bus_message_close_container(m), "append variant");
}

template <class T>
void AppendBasicVariant(sd_bus_message* m, char type, T value) {
  const char signature[2] = {type, '\0'};
  Check(sd_bus_message_open_container(m, 'v', signature), "append variant");
  Check(sd_bus_message_append_basic(m, type, &value), "append value");
  Check(sd_bus_message_close_container(m), "append variant");
}

void AppendArgument(sd_bus_message* m, const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR:
      AppendValueless(m, v.vt);
      return;
    case VT_UI1:
      AppendBasicVariant<std::uint8_t>(m, 'y', static_cast<std::uint8_t>(v.ullVal));
      return;
    case VT_I1:
    case VT_I2:
      AppendBasicVariant<std::int16_t>(m, 'n', static_cast<std::int16_t>(v.llVal));
      return;
    case VT_UI2:
      AppendBasicVariant<std::uint16_t>(m, 'q', static_cast<std::uint16_t>(v.ullVal));
      return;
    case VT_I4:
      AppendBasicVariant<std::int32_t>(m, 'i', static_cast<std::int32_t>(v.llVal));
      return;
    case VT_UI4:
      AppendBasicVariant<std::uint32_t>(m, 'u', static_cast<std::uint32_t>(v.ullVal));
      return;
    case VT_I8:
      AppendBasicVariant<std::int64_t>(m, 'x', v.llVal);
      return;
    case VT_UI8:
      AppendBasicVariant<std::uint64_t>(m, 't', v.ullVal);
      return;
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      AppendBasicVariant<double>(m, 'd', v.dblVal);
      return;
    case VT_BOOL: {
      AppendBasicVariant<int>(m, 'b', v.llVal != 0 ? 1 : 0);
      return;
    }
    case VT_BSTR:
      if (!v.bstrVal) {
        AppendValueless(m, VT_BSTR);
        return;
      }
      Check(sd_bus_message_open_container(m, 'v', "s"), "append variant");
      AppendString(m, *v.bstrVal);
      Check(sd_bus_message_close_container(m), "append variant");
      return;
    case VT_BSTR | VT_BYREF: {
      const CString value = v.pbstrVal && *v.pbstrVal ? **v.pbstrVal : CString();
      Check(sd_bus_message_open_container(m, 'v', "(s)"), "append variant");
      Check(sd_bus_message_open_container(m, 'r', "s"), "append struct");
      AppendString(m, value);
      Check(sd_bus_message_close_container(m), "append struct");
      Check(sd_bus_message_close_container(m), "append variant");
      return;
    }
    default:
      throw std::invalid_argument("a VARIANT of type " + std::to_string(v.vt) + " has no wire form");
  }
}

CString ReadString(sd_bus_message* m) {
  const char* s = nullptr;
  ReadCheck(sd_bus_message_read_basic(m, 's', &s), "string");
  return AfxFromUtf8(s);
}

template <class T>
T ReadBasic(sd_bus_message* m, char type) {
  T value{};
  ReadCheck(sd_bus_message_read_basic(m, type, &value), "value");
  return value;
}

// Reads one variant (the reader stands before it) into a VARIANT.
VARIANT ReadVariant(sd_bus_message* m) {
  char type = 0;
  const char* contents = nullptr;
  ReadCheck(sd_bus_message_peek_type(m, &type, &contents), "variant");
  if (type != 'v' || !contents) ThrowProtocol("expected a variant");
  const std::string sig = contents;
  ReadCheck(sd_bus_message_enter_container(m, 'v', contents), "variant");
  VARIANT v;
  if (sig == "(u)") {
    ReadCheck(sd_bus_message_enter_container(m, 'r', "u"), "struct");
    const auto vt = ReadBasic<std::uint32_t>(m, 'u');
    ReadCheck(sd_bus_message_exit_container(m), "struct");
    v = vt == VT_BSTR ? VARIANT::NullBstr() : VARIANT::Empty();
    v.vt = static_cast<VARTYPE>(vt);
  } else if (sig == "y") {
    v = VARIANT::UI1(ReadBasic<std::uint8_t>(m, 'y'));
  } else if (sig == "n") {
    v = VARIANT::I2(ReadBasic<std::int16_t>(m, 'n'));
  } else if (sig == "q") {
    v = VARIANT::UI2(ReadBasic<std::uint16_t>(m, 'q'));
  } else if (sig == "i") {
    v = VARIANT::I4(ReadBasic<std::int32_t>(m, 'i'));
  } else if (sig == "u") {
    v = VARIANT::UI4(ReadBasic<std::uint32_t>(m, 'u'));
  } else if (sig == "x") {
    v = VARIANT::I8(ReadBasic<std::int64_t>(m, 'x'));
  } else if (sig == "t") {
    v = VARIANT::UI8(ReadBasic<std::uint64_t>(m, 't'));
  } else if (sig == "d") {
    v = VARIANT::R8(ReadBasic<double>(m, 'd'));
  } else if (sig == "b") {
    v = VARIANT::Bool(ReadBasic<int>(m, 'b') != 0);
  } else if (sig == "s") {
    v = VARIANT::Bstr(ReadString(m));
  } else if (sig == "(s)") {
    ReadCheck(sd_bus_message_enter_container(m, 'r', "s"), "struct");
    v = VARIANT::Bstr(ReadString(m));
    ReadCheck(sd_bus_message_exit_container(m), "struct");
  } else {
    ThrowProtocol("a variant of signature " + sig);
  }
  ReadCheck(sd_bus_message_exit_container(m), "variant");
  return v;
}

// The state of one call in flight.
struct PendingCall {
  bool done = false;
  MessagePtr reply;
  std::optional<BusError> error;
};

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error* /*ret_error*/) {
  auto* pending = static_cast<PendingCall*>(userdata);
  pending->done = true;
  if (sd_bus_message_is_method_error(m, nullptr)) {
    const sd_bus_error* e = sd_bus_message_get_error(m);
    pending->error.emplace(e && e->name ? e->name : "org.freedesktop.DBus.Error.Failed",
                           e && e->message ? e->message : "");
  } else {
    pending->reply.reset(sd_bus_message_ref(m));
  }
  return 1;
}

struct MessageSubscription {
  MivoClient::MessageHandler handler;
};

int OnMessageSignal(sd_bus_message* m, void* userdata, sd_bus_error* /*ret_error*/) {
  const char* title = nullptr;
  const char* text = nullptr;
  if (sd_bus_message_read(m, "ss", &title, &text) < 0) return 0;
  try {
    static_cast<MessageSubscription*>(userdata)->handler(AfxFromUtf8(title), AfxFromUtf8(text));
  } catch (...) {
    // A handler's failure must not unwind through the bus library.
  }
  return 0;
}

struct OwnerWatch {
  std::function<void(const std::string&, const std::string&)> handler;
};

int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*ret_error*/) {
  const char* name = nullptr;
  const char* old_owner = nullptr;
  const char* new_owner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0) return 0;
  try {
    static_cast<OwnerWatch*>(userdata)->handler(old_owner, new_owner);
  } catch (...) {
    // A handler's failure must not unwind through the bus library.
  }
  return 0;
}

}  // namespace

struct MivoClient::Impl {
  BusPtr bus;
  // The handlers' data outlive the match slots that point at them (members end in reverse order).
  std::vector<std::unique_ptr<MessageSubscription>> subscriptions;
  std::vector<std::unique_ptr<OwnerWatch>> owner_watches;
  std::vector<SlotPtr> slots;

  MessagePtr NewCall(const char* destination, const std::string& path, const char* interface,
                     const char* member) {
    sd_bus_message* m = nullptr;
    Check(sd_bus_message_new_method_call(bus.get(), &m, destination, path.c_str(), interface, member),
          "new method call");
    return MessagePtr(m);
  }

  // Sends `m` and waits for its reply, dispatching everything else that arrives meanwhile.
  MessagePtr Call(sd_bus_message* m, std::chrono::microseconds timeout) {
    PendingCall pending;
    sd_bus_slot* raw_slot = nullptr;
    const auto usec = static_cast<std::uint64_t>(timeout.count() > 0 ? timeout.count() : 1);
    Check(sd_bus_call_async(bus.get(), &raw_slot, m, OnReply, &pending, usec), "send call");
    SlotPtr slot(raw_slot);
    while (!pending.done) {
      const int r = sd_bus_process(bus.get(), nullptr);
      if (r < 0) ThrowErrno("bus", r);
      if (r > 0) continue;
      const int w = sd_bus_wait(bus.get(), UINT64_MAX);
      if (w < 0 && w != -EINTR) ThrowErrno("wait", w);
    }
    if (pending.error) throw *pending.error;
    return std::move(pending.reply);
  }

  MessagePtr CallService(const std::string& path, const char* interface, const char* member,
                         std::chrono::microseconds timeout,
                         const std::function<void(sd_bus_message*)>& fill) {
    MessagePtr m = NewCall(kServiceName, path, interface, member);
    if (fill) fill(m.get());
    return Call(m.get(), timeout);
  }

  MessagePtr CallDriver(const char* member, const std::string& name, std::chrono::microseconds timeout) {
    MessagePtr m = NewCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", member);
    Check(sd_bus_message_append_basic(m.get(), 's', name.c_str()), "append name");
    return Call(m.get(), timeout);
  }
};

MivoClient::MivoClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MivoClient::~MivoClient() = default;

std::unique_ptr<MivoClient> MivoClient::ConnectSession() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return Connect(address);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) {
    throw BusError("org.freedesktop.DBus.Error.NoServer",
                   "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set");
  }
  return Connect(std::string("unix:path=") + runtime + "/bus");
}

std::unique_ptr<MivoClient> MivoClient::Connect(const std::string& address) {
  auto impl = std::make_unique<Impl>();
  sd_bus* raw = nullptr;
  Check(sd_bus_new(&raw), "new connection");
  impl->bus.reset(raw);
  Check(sd_bus_set_address(raw, address.c_str()), "bus address");
  Check(sd_bus_set_bus_client(raw, 1), "bus client");
  const int r = sd_bus_start(raw);
  if (r < 0) {
    throw BusError("org.freedesktop.DBus.Error.NoServer",
                   "cannot connect to the bus at " + address + ": " + std::strerror(-r));
  }
  return std::unique_ptr<MivoClient>(new MivoClient(std::move(impl)));
}

std::string MivoClient::UniqueName() const {
  const char* name = nullptr;
  Check(sd_bus_get_unique_name(impl_->bus.get(), &name), "unique name");
  return name;
}

std::vector<DISPID> MivoClient::GetIDsOfNames(const std::string& path, const std::vector<CString>& names) {
  MessagePtr reply =
      impl_->CallService(path, kDispatchInterface, "GetIDsOfNames", timeout_, [&](sd_bus_message* m) {
        Check(sd_bus_message_open_container(m, 'a', "s"), "append array");
        for (const CString& name : names) AppendString(m, name);
        Check(sd_bus_message_close_container(m), "append array");
      });
  std::vector<DISPID> ids;
  ReadCheck(sd_bus_message_enter_container(reply.get(), 'a', "i"), "array of DISPIDs");
  for (;;) {
    std::int32_t id = 0;
    const int r = sd_bus_message_read_basic(reply.get(), 'i', &id);
    if (r < 0) ThrowProtocol("array of DISPIDs");
    if (r == 0) break;
    ids.push_back(id);
  }
  ReadCheck(sd_bus_message_exit_container(reply.get()), "array of DISPIDs");
  return ids;
}

InvokeResult MivoClient::Invoke(const std::string& path, DISPID dispid, std::vector<VARIANT>& args) {
  MessagePtr reply = impl_->CallService(path, kDispatchInterface, "Invoke", timeout_, [&](sd_bus_message* m) {
    const std::int32_t id = dispid;
    Check(sd_bus_message_append_basic(m, 'i', &id), "append DISPID");
    Check(sd_bus_message_open_container(m, 'a', "v"), "append array");
    for (const VARIANT& arg : args) AppendArgument(m, arg);
    Check(sd_bus_message_close_container(m), "append array");
  });
  InvokeResult out;
  out.result = ReadVariant(reply.get());
  ReadCheck(sd_bus_message_enter_container(reply.get(), 'a', "v"), "array of by-reference values");
  for (;;) {
    const int r = sd_bus_message_at_end(reply.get(), false);
    if (r < 0) ThrowProtocol("array of by-reference values");
    if (r > 0) break;
    VARIANT ref = ReadVariant(reply.get());
    if (ref.vt != VT_BSTR || !ref.bstrVal) ThrowProtocol("a by-reference value that is not a string");
    out.refs.push_back(*ref.bstrVal);
  }
  ReadCheck(sd_bus_message_exit_container(reply.get()), "array of by-reference values");
  // Hand each by-reference argument its final value, in argument order.
  std::size_t next = 0;
  for (VARIANT& arg : args) {
    if (arg.vt != (VT_BSTR | VT_BYREF)) continue;
    if (next >= out.refs.size()) ThrowProtocol("fewer by-reference values than by-reference arguments");
    if (arg.pbstrVal) *arg.pbstrVal = out.refs[next];
    ++next;
  }
  return out;
}

InvokeResult MivoClient::InvokeByName(const std::string& path, const CString& name,
                                      std::vector<VARIANT>& args) {
  const std::vector<DISPID> ids = GetIDsOfNames(path, {name});
  if (ids.size() != 1) ThrowProtocol("GetIDsOfNames returned " + std::to_string(ids.size()) + " DISPIDs");
  return Invoke(path, ids[0], args);
}

void MivoClient::Release(const std::string& path) {
  impl_->CallService(path, kDispatchInterface, "Release", timeout_, nullptr);
}

std::string MivoClient::CreateInstance() {
  MessagePtr reply =
      impl_->CallService(kClassObjectPath, kFactoryInterface, "CreateInstance", timeout_, nullptr);
  const char* path = nullptr;
  ReadCheck(sd_bus_message_read_basic(reply.get(), 'o', &path), "object path");
  return path;
}

namespace {
MessagePtr GetProperty(MivoClient::Impl& impl, const char* name, std::chrono::microseconds timeout) {
  return impl.CallService(kClassObjectPath, "org.freedesktop.DBus.Properties", "Get", timeout,
                          [&](sd_bus_message* m) {
                            Check(sd_bus_message_append(m, "ss", kFactoryInterface, name), "append property");
                          });
}
}  // namespace

std::uint32_t MivoClient::ObjectCount() {
  MessagePtr reply = GetProperty(*impl_, "ObjectCount", timeout_);
  VARIANT v = ReadVariant(reply.get());
  if (v.vt != VT_UI4) ThrowProtocol("ObjectCount is not a 32-bit unsigned integer");
  return static_cast<std::uint32_t>(v.ullVal);
}

std::string MivoClient::ClassId() {
  MessagePtr reply = GetProperty(*impl_, "ClassId", timeout_);
  VARIANT v = ReadVariant(reply.get());
  if (v.vt != VT_BSTR || !v.bstrVal) ThrowProtocol("ClassId is not a string");
  return AfxToUtf8(*v.bstrVal);
}

namespace {
void AppendStrings(sd_bus_message* m, std::initializer_list<const CString*> strings) {
  for (const CString* s : strings) AppendString(m, *s);
}
bool ReadBool(sd_bus_message* m) { return ReadBasic<int>(m, 'b') != 0; }
}  // namespace

bool MivoClient::SetLanguage(const std::string& path, std::int16_t language, bool user_flag) {
  MessagePtr reply =
      impl_->CallService(path, kMethodsInterface, "SetLanguage", timeout_, [&](sd_bus_message* m) {
        const int flag = user_flag ? 1 : 0;
        Check(sd_bus_message_append_basic(m, 'n', &language), "append id");
        Check(sd_bus_message_append_basic(m, 'b', &flag), "append flag");
      });
  return ReadBool(reply.get());
}

CString MivoClient::GetLanguageString(const std::string& path, const CString& module, const CString& key) {
  MessagePtr reply =
      impl_->CallService(path, kMethodsInterface, "GetLanguageString", timeout_, [&](sd_bus_message* m) {
        AppendStrings(m, {&module, &key});
      });
  return ReadString(reply.get());
}

bool MivoClient::GetLanguageString2(const std::string& path, CString& text, const CString& module,
                                    const CString& key) {
  MessagePtr reply =
      impl_->CallService(path, kMethodsInterface, "GetLanguageString2", timeout_, [&](sd_bus_message* m) {
        AppendStrings(m, {&text, &module, &key});
      });
  const bool found = ReadBool(reply.get());
  text = ReadString(reply.get());
  return found;
}

bool MivoClient::AddLogLine(const std::string& path, DATE date, std::int16_t n1, const CString& s1,
                            const CString& s2, std::int16_t n2, const CString& s3, const CString& s4,
                            const CString& s5, const CString& s6) {
  MessagePtr reply =
      impl_->CallService(path, kMethodsInterface, "AddLogLine", timeout_, [&](sd_bus_message* m) {
        Check(sd_bus_message_append_basic(m, 'd', &date), "append date");
        Check(sd_bus_message_append_basic(m, 'n', &n1), "append number");
        AppendStrings(m, {&s1, &s2});
        Check(sd_bus_message_append_basic(m, 'n', &n2), "append number");
        AppendStrings(m, {&s3, &s4, &s5, &s6});
      });
  return ReadBool(reply.get());
}

bool MivoClient::SetConfigString(const std::string& path, const CString& value, const CString& module,
                                 const CString& key) {
  MessagePtr reply =
      impl_->CallService(path, kMethodsInterface, "SetConfigString", timeout_, [&](sd_bus_message* m) {
        AppendStrings(m, {&value, &module, &key});
      });
  return ReadBool(reply.get());
}

CString MivoClient::GetConfigString(const std::string& path, const CString& module, const CString& key) {
  MessagePtr reply =
      impl_->CallService(path, kMethodsInterface, "GetConfigString", timeout_, [&](sd_bus_message* m) {
        AppendStrings(m, {&module, &key});
      });
  return ReadString(reply.get());
}

bool MivoClient::GetConfigString2(const std::string& path, CString& value, const CString& module,
                                  const CString& key) {
  MessagePtr reply =
      impl_->CallService(path, kMethodsInterface, "GetConfigString2", timeout_, [&](sd_bus_message* m) {
        AppendStrings(m, {&value, &module, &key});
      });
  const bool found = ReadBool(reply.get());
  value = ReadString(reply.get());
  return found;
}

std::int16_t MivoClient::GetCurCharsetCode(const std::string& path) {
  MessagePtr reply = impl_->CallService(path, kMethodsInterface, "GetCurCharsetCode", timeout_, nullptr);
  return ReadBasic<std::int16_t>(reply.get(), 'n');
}

bool MivoClient::RefreshConfDB(const std::string& path) {
  return ReadBool(impl_->CallService(path, kMethodsInterface, "RefreshConfDB", timeout_, nullptr).get());
}

bool MivoClient::RefreshLangDB(const std::string& path) {
  return ReadBool(impl_->CallService(path, kMethodsInterface, "RefreshLangDB", timeout_, nullptr).get());
}

void MivoClient::SubscribeMessages(MessageHandler handler) {
  auto subscription = std::make_unique<MessageSubscription>();
  subscription->handler = std::move(handler);
  const std::string rule = std::string("type='signal',path='") + kClassObjectPath + "',interface='" +
                           kEventsInterface + "',member='Message'";
  sd_bus_slot* raw = nullptr;
  Check(sd_bus_add_match(impl_->bus.get(), &raw, rule.c_str(), OnMessageSignal, subscription.get()),
        "subscribe to Message");
  impl_->slots.emplace_back(raw);
  impl_->subscriptions.push_back(std::move(subscription));
}

int MivoClient::ProcessPending(std::chrono::milliseconds wait) {
  int processed = 0;
  bool waited = false;
  for (;;) {
    const int r = sd_bus_process(impl_->bus.get(), nullptr);
    if (r < 0) ThrowErrno("bus", r);
    if (r > 0) {
      ++processed;
      continue;
    }
    if (processed > 0 || waited || wait.count() <= 0) return processed;
    const int w = sd_bus_wait(impl_->bus.get(), static_cast<std::uint64_t>(wait.count()) * 1000);
    if (w < 0 && w != -EINTR) ThrowErrno("wait", w);
    waited = true;
  }
}

void MivoClient::WatchNameOwner(const std::string& name,
                                std::function<void(const std::string&, const std::string&)> handler) {
  if (name.find('\'') != std::string::npos) throw std::invalid_argument("a bus name cannot hold a quote");
  auto watch = std::make_unique<OwnerWatch>();
  watch->handler = std::move(handler);
  const std::string rule =
      "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
      "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
      name + "'";
  sd_bus_slot* raw = nullptr;
  Check(sd_bus_add_match(impl_->bus.get(), &raw, rule.c_str(), OnNameOwnerChanged, watch.get()),
        "watch a name owner");
  impl_->slots.emplace_back(raw);
  impl_->owner_watches.push_back(std::move(watch));
}

bool MivoClient::NameHasOwner(const std::string& name) {
  MessagePtr reply = impl_->CallDriver("NameHasOwner", name, timeout_);
  return ReadBool(reply.get());
}

std::string MivoClient::NameOwner(const std::string& name) {
  MessagePtr reply = impl_->CallDriver("GetNameOwner", name, timeout_);
  return AfxToUtf8(ReadString(reply.get()));
}

std::uint32_t MivoClient::NameOwnerPid(const std::string& name) {
  MessagePtr reply = impl_->CallDriver("GetConnectionUnixProcessID", name, timeout_);
  return ReadBasic<std::uint32_t>(reply.get(), 'u');
}

}  // namespace mivo::ole
