#include "platform/ole/bus_client.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace mivo::test {
namespace {

struct Error {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~Error() { sd_bus_error_free(&e); }
};

int AppendBasic(sd_bus_message* m, const Wire& w) {
  const char t = w.sig[0];
  switch (t) {
    case 'y': {
      const auto v = static_cast<std::uint8_t>(w.u);
      return sd_bus_message_append_basic(m, t, &v);
    }
    case 'n': {
      const auto v = static_cast<std::int16_t>(w.i);
      return sd_bus_message_append_basic(m, t, &v);
    }
    case 'q': {
      const auto v = static_cast<std::uint16_t>(w.u);
      return sd_bus_message_append_basic(m, t, &v);
    }
    case 'i': {
      const auto v = static_cast<std::int32_t>(w.i);
      return sd_bus_message_append_basic(m, t, &v);
    }
    case 'u': {
      const auto v = static_cast<std::uint32_t>(w.u);
      return sd_bus_message_append_basic(m, t, &v);
    }
    case 'x':
      return sd_bus_message_append_basic(m, t, &w.i);
    case 't':
      return sd_bus_message_append_basic(m, t, &w.u);
    case 'd':
      return sd_bus_message_append_basic(m, t, &w.d);
    case 'b': {
      const int v = w.i != 0;
      return sd_bus_message_append_basic(m, t, &v);
    }
    case 's':
      return sd_bus_message_append_basic(m, t, w.s.c_str());
    default:
      return -EINVAL;
  }
}

// Appends w as the contents of a variant.
int AppendVariant(sd_bus_message* m, const Wire& w) {
  if (w.sig == "(u)") return sd_bus_message_append(m, "v", "(u)", static_cast<std::uint32_t>(w.u));
  if (w.sig == "(s)") return sd_bus_message_append(m, "v", "(s)", w.s.c_str());
  if (w.sig == "as") return sd_bus_message_append(m, "v", "as", 2, "a", "b");
  int r = sd_bus_message_open_container(m, 'v', w.sig.c_str());
  if (r < 0) return r;
  r = AppendBasic(m, w);
  if (r < 0) return r;
  return sd_bus_message_close_container(m);
}

CallResult Send(sd_bus* bus, sd_bus_message* call) {
  CallResult result;
  Error error;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call(bus, call, 30'000'000, &error.e, &reply);
  if (r < 0) {
    result.error_name = error.e.name ? error.e.name : "errno " + std::to_string(-r);
    result.error_message = error.e.message ? error.e.message : std::strerror(-r);
    return result;
  }
  result.ok = true;
  result.reply.reset(reply);
  return result;
}

}  // namespace

std::string Describe(const Wire& w) {
  std::string value;
  if (w.sig == "s" || w.sig == "(s)") {
    value = "\"" + w.s + "\"";
  } else if (w.sig == "d") {
    value = std::to_string(w.d);
  } else if (w.sig == "y" || w.sig == "q" || w.sig == "u" || w.sig == "t" || w.sig == "(u)") {
    value = std::to_string(w.u);
  } else {
    value = std::to_string(w.i);
  }
  return w.sig + " " + value;
}

int ReadVariant(sd_bus_message* m, Wire* out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r < 0) return r;
  if (type != 'v' || contents == nullptr) return -EINVAL;
  const std::string inner = contents;
  Wire w;
  w.sig = inner;
  if (inner == "(u)") {
    std::uint32_t v = 0;
    r = sd_bus_message_read(m, "v", "(u)", &v);
    w.u = v;
    *out = w;
    return r;
  }
  r = sd_bus_message_enter_container(m, 'v', contents);
  if (r < 0) return r;
  switch (inner[0]) {
    case 'n': {
      std::int16_t v = 0;
      r = sd_bus_message_read_basic(m, 'n', &v);
      w.i = v;
      break;
    }
    case 'i': {
      std::int32_t v = 0;
      r = sd_bus_message_read_basic(m, 'i', &v);
      w.i = v;
      break;
    }
    case 'b': {
      int v = 0;
      r = sd_bus_message_read_basic(m, 'b', &v);
      w.i = v;
      break;
    }
    case 'd':
      r = sd_bus_message_read_basic(m, 'd', &w.d);
      break;
    case 's': {
      const char* v = nullptr;
      r = sd_bus_message_read_basic(m, 's', &v);
      w.s = v ? v : "";
      break;
    }
    default:
      return -EINVAL;
  }
  if (r < 0) return r;
  *out = w;
  return sd_bus_message_exit_container(m);
}

BusClient::~BusClient() { Close(); }

bool BusClient::Connect() {
  Close();
  return sd_bus_open_user(&bus_) >= 0;
}

void BusClient::Close() {
  if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
}

std::string BusClient::UniqueName() const {
  const char* name = nullptr;
  return bus_ && sd_bus_get_unique_name(bus_, &name) >= 0 && name ? name : "";
}

CallResult BusClient::Call(const std::string& path, const char* interface, const char* member,
                           const std::vector<Wire>& args, const char* destination) {
  sd_bus_message* raw = nullptr;
  CallResult failed;
  failed.error_name = "client";
  if (sd_bus_message_new_method_call(bus_, &raw, destination, path.c_str(), interface, member) < 0) return failed;
  MessagePtr call(raw);
  for (const Wire& w : args) {
    if (AppendBasic(raw, w) < 0) return failed;
  }
  return Send(bus_, raw);
}

InvokeResult BusClient::Invoke(const std::string& path, std::int32_t dispid, const std::vector<Wire>& args) {
  InvokeResult result;
  result.call.error_name = "client";
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus_, &raw, kName, path.c_str(), kDispatch, "Invoke") < 0) return result;
  MessagePtr call(raw);
  if (sd_bus_message_append(raw, "i", dispid) < 0 || sd_bus_message_open_container(raw, 'a', "v") < 0) {
    return result;
  }
  for (const Wire& w : args) {
    if (AppendVariant(raw, w) < 0) return result;
  }
  if (sd_bus_message_close_container(raw) < 0) return result;
  result.call = Send(bus_, raw);
  if (!result.call.ok) return result;
  sd_bus_message* reply = result.call.reply.get();
  if (ReadVariant(reply, &result.result) < 0 || sd_bus_message_enter_container(reply, 'a', "v") < 0) {
    result.call.ok = false;
    result.call.error_name = "client: bad reply";
    return result;
  }
  while (sd_bus_message_at_end(reply, false) == 0) {
    Wire ref;
    if (ReadVariant(reply, &ref) < 0 || ref.sig != "s") {
      result.call.ok = false;
      result.call.error_name = "client: bad ref " + ref.sig;
      return result;
    }
    result.refs.push_back(ref.s);
  }
  return result;
}

CallResult BusClient::GetIDsOfNames(const std::string& path, const std::vector<std::string>& names,
                                    std::vector<std::int32_t>* ids) {
  CallResult failed;
  failed.error_name = "client";
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus_, &raw, kName, path.c_str(), kDispatch, "GetIDsOfNames") < 0) {
    return failed;
  }
  MessagePtr call(raw);
  if (sd_bus_message_open_container(raw, 'a', "s") < 0) return failed;
  for (const std::string& n : names) {
    if (sd_bus_message_append_basic(raw, 's', n.c_str()) < 0) return failed;
  }
  if (sd_bus_message_close_container(raw) < 0) return failed;
  CallResult result = Send(bus_, raw);
  if (!result.ok) return result;
  const void* data = nullptr;
  std::size_t size = 0;
  if (sd_bus_message_read_array(result.reply.get(), 'i', &data, &size) < 0) {
    result.ok = false;
    return result;
  }
  const auto* p = static_cast<const std::int32_t*>(data);
  ids->assign(p, p + size / sizeof(std::int32_t));
  return result;
}

std::string BusClient::CreateInstance(CallResult* out) {
  CallResult result = Call(kClassPath, kFactory, "CreateInstance");
  std::string path;
  const char* p = nullptr;
  if (result.ok && sd_bus_message_read(result.reply.get(), "o", &p) >= 0 && p) path = p;
  if (out) *out = std::move(result);
  return path;
}

CallResult BusClient::Release(const std::string& path) { return Call(path, kDispatch, "Release"); }

std::optional<std::uint32_t> BusClient::ObjectCount() {
  Error error;
  std::uint32_t count = 0;
  if (sd_bus_get_property_trivial(bus_, kName, kClassPath, kFactory, "ObjectCount", &error.e, 'u', &count) < 0) {
    return std::nullopt;
  }
  return count;
}

std::optional<std::string> BusClient::ClassId() {
  Error error;
  char* value = nullptr;
  if (sd_bus_get_property_string(bus_, kName, kClassPath, kFactory, "ClassId", &error.e, &value) < 0) {
    return std::nullopt;
  }
  std::string s = value;
  std::free(value);
  return s;
}

std::optional<std::string> BusClient::Introspect(const std::string& path) {
  CallResult result = Call(path, "org.freedesktop.DBus.Introspectable", "Introspect");
  const char* xml = nullptr;
  if (!result.ok || sd_bus_message_read(result.reply.get(), "s", &xml) < 0 || !xml) return std::nullopt;
  return std::string(xml);
}

std::optional<pid_t> BusClient::OwnerPid(const char* name) {
  Error error;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixProcessID", &error.e, &reply, "s", name) < 0) {
    return std::nullopt;
  }
  MessagePtr owner(reply);
  std::uint32_t pid = 0;
  if (sd_bus_message_read(reply, "u", &pid) < 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

std::vector<pid_t> BusClient::QueuedPids(const char* name) {
  std::vector<pid_t> pids;
  Error error;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "ListQueuedOwners", &error.e, &reply, "s", name) < 0) {
    return pids;
  }
  MessagePtr owner(reply);
  char** names = nullptr;
  if (sd_bus_message_read_strv(reply, &names) < 0) return pids;
  for (char** n = names; n && *n; ++n) {
    if (auto pid = OwnerPid(*n)) pids.push_back(*pid);
    std::free(*n);
  }
  std::free(names);
  return pids;
}

bool BusClient::ProcessUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return false;
    if (r == 0) sd_bus_wait(bus_, 100'000);
  }
  return true;
}

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace mivo::test
