// AutomationClient over sd-bus: one private connection, calls sent asynchronously and waited for while
// the connection's other traffic (signals) is dispatched.
#include "platform/ole/client.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/ole/environment.h"
#include "platform/ole/wire.h"

namespace mivo::ole {

BusError::BusError(std::string name, std::string message)
    : std::runtime_error(name + ": " + message), name_(std::move(name)), message_(std::move(message)) {}

HRESULT BusError::hresult() const { return ErrorMessageHResult(message_); }

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

void AppendArgument(sd_bus_message* m, const VARIANT& v) {
  const int r = wire::AppendVariant(m, v);
  if (r == -EINVAL)
    throw std::invalid_argument("a VARIANT of type " + std::to_string(v.vt) + " has no wire form");
  Check(r, "append variant");
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
  VARIANT v;
  ReadCheck(wire::ReadVariant(m, &v, nullptr), "variant");
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
  AutomationClient::MessageHandler handler;
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

struct ChangeSubscription {
  std::function<void(const AutomationClient::Change&)> handler;
};

int OnChangeSignal(sd_bus_message* m, void* userdata, sd_bus_error* /*ret_error*/) {
  using Kind = AutomationClient::Change::Kind;
  AutomationClient::Change change;
  const char* member = sd_bus_message_get_member(m);
  if (member == nullptr) return 0;
  if (std::strcmp(member, kLanguageChangedSignal) == 0) {
    change.kind = Kind::kLanguage;
    if (sd_bus_message_read(m, "n", &change.language) < 0) return 0;
  } else if (std::strcmp(member, kConfigChangedSignal) == 0) {
    const char* module = nullptr;
    const char* key = nullptr;
    const char* value = nullptr;
    if (sd_bus_message_read(m, "sss", &module, &key, &value) < 0) return 0;
    change.kind = Kind::kConfig;
    change.module = AfxFromUtf8(module);
    change.key = AfxFromUtf8(key);
    change.value = AfxFromUtf8(value);
  } else if (std::strcmp(member, kReloadedSignal) == 0) {
    const char* store = nullptr;
    if (sd_bus_message_read(m, "s", &store) < 0) return 0;
    change.kind = Kind::kReloaded;
    change.store = store;
  } else {
    return 0;
  }
  try {
    static_cast<ChangeSubscription*>(userdata)->handler(change);
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

struct AutomationClient::Impl {
  BusPtr bus;
  std::string service;
  // The handlers' data outlive the match slots that point at them (members end in reverse order).
  std::vector<std::unique_ptr<MessageSubscription>> subscriptions;
  std::vector<std::unique_ptr<ChangeSubscription>> change_subscriptions;
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
    MessagePtr m = NewCall(service.c_str(), path, interface, member);
    if (fill) fill(m.get());
    return Call(m.get(), timeout);
  }

  MessagePtr CallDriver(const char* member, const std::string& name, std::chrono::microseconds timeout) {
    MessagePtr m = NewCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", member);
    Check(sd_bus_message_append_basic(m.get(), 's', name.c_str()), "append name");
    return Call(m.get(), timeout);
  }
};

namespace {

// A private connection to the bus at `address`.
BusPtr ConnectTo(const std::string& address) {
  if (address.empty()) {
    throw BusError("org.freedesktop.DBus.Error.NoServer",
                   "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set");
  }
  sd_bus* raw = nullptr;
  Check(sd_bus_new(&raw), "new connection");
  BusPtr bus(raw);
  Check(sd_bus_set_address(raw, address.c_str()), "bus address");
  Check(sd_bus_set_bus_client(raw, 1), "bus client");
  const int r = sd_bus_start(raw);
  if (r < 0) {
    throw BusError("org.freedesktop.DBus.Error.NoServer",
                   "cannot connect to the bus at " + address + ": " + std::strerror(-r));
  }
  return bus;
}

}  // namespace

AutomationClient::AutomationClient(const std::string& service)
    : AutomationClient(service, SessionBusAddress()) {}

AutomationClient::AutomationClient(const std::string& service, const std::string& address)
    : impl_(std::make_unique<Impl>()), service_(service), class_path_(ClassObjectPath(service)) {
  impl_->bus = ConnectTo(address);
  impl_->service = service_;
}

AutomationClient::~AutomationClient() = default;

std::string AutomationClient::UniqueName() const {
  const char* name = nullptr;
  Check(sd_bus_get_unique_name(impl_->bus.get(), &name), "unique name");
  return name;
}

std::vector<DISPID> AutomationClient::GetIDsOfNames(const std::string& path,
                                                    const std::vector<CString>& names) {
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

InvokeResult AutomationClient::Invoke(const std::string& path, DISPID dispid, std::vector<VARIANT>& args) {
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

InvokeResult AutomationClient::InvokeByName(const std::string& path, const CString& name,
                                            std::vector<VARIANT>& args) {
  const std::vector<DISPID> ids = GetIDsOfNames(path, {name});
  if (ids.size() != 1) ThrowProtocol("GetIDsOfNames returned " + std::to_string(ids.size()) + " DISPIDs");
  return Invoke(path, ids[0], args);
}

void AutomationClient::Release(const std::string& path) {
  impl_->CallService(path, kDispatchInterface, "Release", timeout_, nullptr);
}

std::string AutomationClient::CreateInstance() {
  MessagePtr reply = impl_->CallService(class_path_, kFactoryInterface, "CreateInstance", timeout_, nullptr);
  const char* path = nullptr;
  ReadCheck(sd_bus_message_read_basic(reply.get(), 'o', &path), "object path");
  return path;
}

namespace {
MessagePtr GetProperty(AutomationClient::Impl& impl, const std::string& class_path, const char* name,
                       std::chrono::microseconds timeout) {
  return impl.CallService(class_path, "org.freedesktop.DBus.Properties", "Get", timeout,
                          [&](sd_bus_message* m) {
                            Check(sd_bus_message_append(m, "ss", kFactoryInterface, name), "append property");
                          });
}
}  // namespace

std::uint32_t AutomationClient::ObjectCount() {
  MessagePtr reply = GetProperty(*impl_, class_path_, "ObjectCount", timeout_);
  VARIANT v = ReadVariant(reply.get());
  if (v.vt != VT_UI4) ThrowProtocol("ObjectCount is not a 32-bit unsigned integer");
  return static_cast<std::uint32_t>(v.ullVal);
}

std::string AutomationClient::ClassId() {
  MessagePtr reply = GetProperty(*impl_, class_path_, "ClassId", timeout_);
  VARIANT v = ReadVariant(reply.get());
  if (v.vt != VT_BSTR || !v.bstrVal) ThrowProtocol("ClassId is not a string");
  return AfxToUtf8(*v.bstrVal);
}

VARIANT AutomationClient::CallTyped(const std::string& path, const AFX_DISPMAP_ENTRY& entry,
                                    std::vector<VARIANT>& args) {
  const std::string_view params(entry.lpvtParams);
  if (args.size() != params.size()) {
    throw std::invalid_argument(std::string(entry.lpszName) + " takes " + std::to_string(params.size()) +
                                " arguments, " + std::to_string(args.size()) + " given");
  }
  MessagePtr reply =
      impl_->CallService(path, service_.c_str(), entry.lpszName, timeout_, [&](sd_bus_message* m) {
        for (std::size_t i = 0; i < args.size(); ++i) {
          const auto declared = static_cast<unsigned char>(params[i]);
          const int r = wire::AppendTyped(m, declared, args[i]);
          if (r == -EINVAL)
            throw std::invalid_argument(std::string(entry.lpszName) + ": a type without a wire form");
          Check(r, "append argument");
        }
      });
  VARIANT result;
  if (entry.vtReturn != VT_EMPTY) {
    ReadCheck(wire::ReadTyped(reply.get(), static_cast<unsigned char>(entry.vtReturn), &result), "result");
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    if ((static_cast<unsigned char>(params[i]) & VT_MFCBYREF) == 0) continue;
    VARIANT value;
    ReadCheck(wire::ReadTyped(reply.get(), static_cast<unsigned char>(params[i]), &value),
              "by-reference value");
    if (args[i].vt == (VT_BSTR | VT_BYREF) && args[i].pbstrVal) *args[i].pbstrVal = std::move(value.bstrVal);
  }
  return result;
}

void AutomationClient::SubscribeMessages(MessageHandler handler) {
  auto subscription = std::make_unique<MessageSubscription>();
  subscription->handler = std::move(handler);
  const std::string rule = "type='signal',path='" + class_path_ + "',interface='" + kEventsInterface +
                           "',member='" + kMessageSignal + "'";
  sd_bus_slot* raw = nullptr;
  Check(sd_bus_add_match(impl_->bus.get(), &raw, rule.c_str(), OnMessageSignal, subscription.get()),
        "subscribe to Message");
  impl_->slots.emplace_back(raw);
  impl_->subscriptions.push_back(std::move(subscription));
}

int AutomationClient::ProcessPending(std::chrono::milliseconds wait) {
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

namespace {

std::vector<AutomationClient::Answer> BatchCall(AutomationClient::Impl& impl, const std::string& path,
                                                const char* member, const AutomationClient::Items& items,
                                                std::chrono::microseconds timeout) {
  MessagePtr reply = impl.CallService(path, kBatchInterface, member, timeout, [&](sd_bus_message* m) {
    Check(sd_bus_message_open_container(m, 'a', "(ss)"), "append array");
    for (const auto& [module, key] : items) {
      Check(sd_bus_message_append(m, "(ss)", ToUtf8(module).c_str(), ToUtf8(key).c_str()), "append item");
    }
    Check(sd_bus_message_close_container(m), "append array");
  });
  std::vector<AutomationClient::Answer> answers;
  answers.reserve(items.size());
  ReadCheck(sd_bus_message_enter_container(reply.get(), 'a', "(bs)"), "array of answers");
  for (;;) {
    int found = 0;
    const char* text = nullptr;
    const int r = sd_bus_message_read(reply.get(), "(bs)", &found, &text);
    if (r < 0) ThrowProtocol("array of answers");
    if (r == 0) break;
    answers.push_back({found != 0, AfxFromUtf8(text)});
  }
  if (answers.size() != items.size()) ThrowProtocol("a batch answered with another number of items");
  return answers;
}

}  // namespace

std::vector<AutomationClient::Answer> AutomationClient::GetLanguageStrings(const std::string& path,
                                                                           const Items& items) {
  return BatchCall(*impl_, path, "GetLanguageStrings", items, timeout_);
}

std::vector<AutomationClient::Answer> AutomationClient::GetConfigStrings(const std::string& path,
                                                                         const Items& items) {
  return BatchCall(*impl_, path, "GetConfigStrings", items, timeout_);
}

AutomationClient::Explanation AutomationClient::ExplainLanguageString(const std::string& path,
                                                                      const CString& module,
                                                                      const CString& key) {
  MessagePtr reply =
      impl_->CallService(path, kBatchInterface, "ExplainLanguageString", timeout_, [&](sd_bus_message* m) {
        AppendString(m, module);
        AppendString(m, key);
      });
  Explanation e;
  e.text = ReadString(reply.get());
  e.source = ToUtf8(ReadString(reply.get()));
  e.language = ReadBasic<std::int16_t>(reply.get(), 'n');
  return e;
}

std::int16_t AutomationClient::Language() {
  MessagePtr reply = impl_->CallService(
      class_path_, "org.freedesktop.DBus.Properties", "Get", timeout_, [&](sd_bus_message* m) {
        Check(sd_bus_message_append(m, "ss", kBatchInterface, "Language"), "append property");
      });
  VARIANT v = ReadVariant(reply.get());
  if (v.vt != VT_I2) ThrowProtocol("Language is not a 16-bit integer");
  return static_cast<std::int16_t>(v.llVal);
}

void AutomationClient::SubscribeChanges(std::function<void(const Change&)> handler) {
  auto subscription = std::make_unique<ChangeSubscription>();
  subscription->handler = std::move(handler);
  const std::string rule = "type='signal',path='" + class_path_ + "',interface='" + kEventsInterface + "'";
  sd_bus_slot* raw = nullptr;
  Check(sd_bus_add_match(impl_->bus.get(), &raw, rule.c_str(), OnChangeSignal, subscription.get()),
        "subscribe to the change signals");
  impl_->slots.emplace_back(raw);
  impl_->change_subscriptions.push_back(std::move(subscription));
}

int AutomationClient::Fd() const { return sd_bus_get_fd(impl_->bus.get()); }

void AutomationClient::WatchNameOwner(const std::string& name,
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

bool AutomationClient::NameHasOwner(const std::string& name) {
  MessagePtr reply = impl_->CallDriver("NameHasOwner", name, timeout_);
  return ReadBasic<int>(reply.get(), 'b') != 0;
}

std::string AutomationClient::NameOwner(const std::string& name) {
  MessagePtr reply = impl_->CallDriver("GetNameOwner", name, timeout_);
  return AfxToUtf8(ReadString(reply.get()));
}

std::uint32_t AutomationClient::NameOwnerPid(const std::string& name) {
  MessagePtr reply = impl_->CallDriver("GetConnectionUnixProcessID", name, timeout_);
  return ReadBasic<std::uint32_t>(reply.get(), 'u');
}

}  // namespace mivo::ole
