// The client side of the bus tests: one sd-bus connection to the session bus of the test (the private
// bus of DbusTest), with helpers for the service's interfaces.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ole/contract.h"
#include "platform/ole/test_target.h"

namespace mivo::test {

// The test target's names on the bus (its programmatic identifier is the bus name and the typed
// interface) and the runtime's interfaces.
inline constexpr const char* kName = kTestProgId;
inline constexpr auto kClassPathText = ole::ClassObjectPathOf(kTestProgId);
inline constexpr const char* kClassPath = kClassPathText.data();
inline constexpr const char* kMethods = kTestProgId;
inline constexpr const char* kFactory = ole::kFactoryInterface;
inline constexpr const char* kDispatch = ole::kDispatchInterface;
inline constexpr const char* kEvents = ole::kEventsInterface;

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// One value as a test writes it or reads it back: its D-Bus signature and its value.
struct Wire {
  std::string sig;  // "y" "n" "q" "i" "u" "x" "t" "d" "b" "s" "(u)" "(s)" "as"
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
  std::string s;

  static Wire Y(std::uint8_t v) { return Unsigned("y", v); }
  static Wire N(std::int16_t v) { return Signed("n", v); }
  static Wire Q(std::uint16_t v) { return Unsigned("q", v); }
  static Wire I(std::int32_t v) { return Signed("i", v); }
  static Wire U(std::uint32_t v) { return Unsigned("u", v); }
  static Wire X(std::int64_t v) { return Signed("x", v); }
  static Wire T(std::uint64_t v) { return Unsigned("t", v); }
  static Wire D(double v) {
    Wire w = Of("d");
    w.d = v;
    return w;
  }
  static Wire B(bool v) { return Signed("b", v ? 1 : 0); }
  static Wire S(std::string v) {
    Wire w = Of("s");
    w.s = std::move(v);
    return w;
  }
  static Wire Ref(std::string v) {  // a by-reference BSTR: the struct (s)
    Wire w = S(std::move(v));
    w.sig = "(s)";
    return w;
  }
  static Wire ValueLess(std::uint32_t vt) {
    return Unsigned("(u)", vt);
  }                                           // (0) Empty, (1) Null, (8) null BSTR
  static Wire Strings() { return Of("as"); }  // a type no VARTYPE stands for

 private:
  static Wire Of(const char* sig) {
    Wire w;
    w.sig = sig;
    return w;
  }
  static Wire Signed(const char* sig, std::int64_t v) {
    Wire w = Of(sig);
    w.i = v;
    return w;
  }
  static Wire Unsigned(const char* sig, std::uint64_t v) {
    Wire w = Of(sig);
    w.u = v;
    return w;
  }
};

std::string Describe(const Wire& w);

struct CallResult {
  bool ok = false;
  std::string error_name;
  std::string error_message;
  MessagePtr reply;
};

struct InvokeResult {
  CallResult call;
  Wire result;
  std::vector<std::string> refs;
};

class BusClient {
 public:
  BusClient() = default;
  ~BusClient();
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  // Connects to DBUS_SESSION_BUS_ADDRESS.
  bool Connect();
  // Closes the connection: the bus sees this client leave.
  void Close();
  sd_bus* bus() const { return bus_; }
  std::string UniqueName() const;

  // A method call with basic-typed arguments (each Wire appended by its signature).
  CallResult Call(const std::string& path, const char* interface, const char* member,
                  const std::vector<Wire>& args = {}, const char* destination = kName);
  // Mivo.DataBase.Dispatch.Invoke: the arguments as variants; the result and refs read back.
  InvokeResult Invoke(const std::string& path, std::int32_t dispid, const std::vector<Wire>& args);
  // Mivo.DataBase.Dispatch.GetIDsOfNames.
  CallResult GetIDsOfNames(const std::string& path, const std::vector<std::string>& names,
                           std::vector<std::int32_t>* ids);
  // CreateInstance on the class object: the new object's path, or "" (with *result holding the error).
  std::string CreateInstance(CallResult* result = nullptr);
  CallResult Release(const std::string& path);
  std::optional<std::uint32_t> ObjectCount();
  std::optional<std::string> ClassId();
  std::optional<std::string> Introspect(const std::string& path);

  // The process id of the current owner of `name`, or nullopt when it has none.
  std::optional<pid_t> OwnerPid(const char* name = kName);
  // The process ids of every connection queued for `name`, the owner first.
  std::vector<pid_t> QueuedPids(const char* name = kName);

  // Dispatches incoming messages until done() holds; false when it still does not after 30 seconds.
  bool ProcessUntil(const std::function<bool()>& done);

 private:
  sd_bus* bus_ = nullptr;
};

// Polls done() until it holds (true) or 30 seconds have passed (false).
bool WaitUntil(const std::function<bool()>& done);

// Reads one variant at the reader's position into a Wire (basic types and the struct (u)).
int ReadVariant(sd_bus_message* m, Wire* out);

}  // namespace mivo::test
