// Internal to platform/ole: the server side of the runtime, shared by its parts.
//   connection.cpp  the process's bus connection, its event loop, AfxOleInit / AfxOleTerm
//   objects.cpp     the class objects, the automation objects and their clients, the dispatch interfaces
//   errors.cpp      HRESULTs to D-Bus errors
//   reports.cpp     reports as Message signals and desktop notifications
//   activation.cpp  the activation file of the registration (UpdateActivation of server.h)
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/ole/afxdisp.h"
#include "platform/ole/server.h"

namespace mivo::ole {

struct Unref {
  void operator()(sd_bus* p) const { sd_bus_flush_close_unref(p); }
  void operator()(sd_event* p) const { sd_event_unref(p); }
  void operator()(sd_bus_slot* p) const { sd_bus_slot_unref(p); }
  void operator()(sd_bus_track* p) const { sd_bus_track_unref(p); }
  void operator()(sd_bus_message* p) const { sd_bus_message_unref(p); }
  void operator()(sd_event_source* p) const { sd_event_source_unref(p); }
};
// An owning sd-bus / sd-event handle.
template <class T>
using Ptr = std::unique_ptr<T, Unref>;

// An sd_bus_error freed at the end of its scope.
struct ErrorHolder {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~ErrorHolder() { sd_bus_error_free(&error); }
};

class CallerCheck;
class ClassRegistration;
class NotificationWatch;

// The runtime of the process: owned by connection.cpp from OleInit to AfxOleTerm. Its destructor ends it
// in order: the class registrations (which hold slots on the bus) without lock count signals, then the
// watches, then the bus (flushed and closed), then the event loop.
struct Runtime {
  Runtime() = default;
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  Ptr<sd_event> event;
  Ptr<sd_bus> bus;
  Ptr<sd_bus_slot> filter;
  std::unique_ptr<CallerCheck> callers;
  std::unique_ptr<NotificationWatch> notifications;
  std::map<const COleObjectFactory*, std::unique_ptr<ClassRegistration>> classes;
  std::thread::id thread = std::this_thread::get_id();
  bool suppress_lock_signals = false;
  int sink = 0;
};

// The process's runtime while it is initialised, else null. Not owning.
Runtime* CurrentRuntime();
// The runtime when the caller is on the runtime's thread and it has a bus, else null.
Runtime* RuntimeOnThisThread();

// While it lives, lock count changes send no ObjectCount signals (the class object's own construction
// and release take and give back locks that no client sees).
class LockSignalsSuppressed {
 public:
  explicit LockSignalsSuppressed(Runtime& runtime)
      : runtime_(runtime), before_(runtime.suppress_lock_signals) {
    runtime_.suppress_lock_signals = true;
  }
  ~LockSignalsSuppressed() { runtime_.suppress_lock_signals = before_; }
  LockSignalsSuppressed(const LockSignalsSuppressed&) = delete;
  LockSignalsSuppressed& operator=(const LockSignalsSuppressed&) = delete;

 private:
  Runtime& runtime_;
  bool before_;
};

// ---- Class registrations (objects.cpp) ----

// One factory's class on the bus. The constructor offers it (the class object, the automation objects'
// interfaces, the bus name, in that order) and throws std::runtime_error when any step fails, leaving
// nothing registered; the destructor withdraws it: the interfaces go, the name is released, every
// automation object is dropped as if its client had released it, and the shared instance is released.
class ClassRegistration {
 public:
  ClassRegistration(Runtime& runtime, COleObjectFactory& factory);
  ~ClassRegistration();
  ClassRegistration(const ClassRegistration&) = delete;
  ClassRegistration& operator=(const ClassRegistration&) = delete;

  // Signals a change of ObjectCount on the class object (nothing once withdrawal has begun).
  void EmitObjectCount();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// ---- Callers (callers.cpp) ----

// The one check of who is answered. Every method call that reaches the process passes this filter before
// any object handler: calls of the server's own user and of root go on, every other call (another user's,
// or one whose sender cannot be identified) is answered with org.freedesktop.DBus.Error.AccessDenied and
// goes no further. That is why every method of the vtables is marked SD_BUS_VTABLE_UNPRIVILEGED: sd-bus's
// own check would ask the bus for the caller's credentials on every call.
// A caller's user id is asked of the bus daemon (GetConnectionUnixUser, one round trip) on its first call
// and kept under its unique name, which a bus never gives out again; it is forgotten when that name leaves
// the bus, so the table holds only connected callers. The constructor throws std::runtime_error when the
// bus refuses the departure watch or the filter; not copyable; its slots go with it.
class CallerCheck {
 public:
  explicit CallerCheck(sd_bus* bus);
  CallerCheck(const CallerCheck&) = delete;
  CallerCheck& operator=(const CallerCheck&) = delete;

 private:
  static int OnMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  // Whether the caller of unique name `sender` is answered; asks the bus on the first call of a connection.
  bool Admits(const char* sender);

  sd_bus* bus_;
  const std::uint32_t own_uid_;
  std::unordered_map<std::string, bool> callers_;
  Ptr<sd_bus_slot> match_;
  Ptr<sd_bus_slot> filter_;
};

// ---- Errors (errors.cpp) ----

// Sets the D-Bus error for an HRESULT (see contract.h) and returns the handler's negative result.
int SetError(sd_bus_error* error, HRESULT hr, const std::string& text);
// The error of a failed Invoke of `dispid` on `target` with `count` arguments; `arg` is the 0-based
// argument the HRESULT names, `info` the exception's description.
int SetInvokeError(sd_bus_error* error, HRESULT hr, const CCmdTarget& target, DISPID dispid,
                   std::size_t count, UINT arg, const EXCEPINFO& info);

// ---- Reports (reports.cpp) ----

// Knows whether a desktop notification service is on the bus: asks once, then follows its owner changes.
// Not copyable; its match slot goes with it.
class NotificationWatch {
 public:
  explicit NotificationWatch(sd_bus* bus);
  bool owned() const { return owned_; }
  NotificationWatch(const NotificationWatch&) = delete;
  NotificationWatch& operator=(const NotificationWatch&) = delete;

 private:
  static int OnOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  Ptr<sd_bus_slot> match_;
  bool owned_ = false;
};

// Broadcasts a report: the Message signal on every registered class object's path, and a desktop
// notification while a notification service is on the bus. Does nothing off the runtime's thread.
void BroadcastReport(const AfxReport& report);

// ---- The factory's bus side (objects.cpp): the functions of server.h ----
// OnLockCountChanged sends a property change signal on every registered class object.

}  // namespace mivo::ole
