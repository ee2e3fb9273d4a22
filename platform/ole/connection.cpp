// The process's bus connection and its event loop: AfxOleInit, the message pump, AfxOleTerm.
#include <signal.h>

#include "platform/afx/winapp.h"
#include "platform/ole/environment.h"
#include "platform/ole/runtime.h"

namespace mivo::ole {
namespace {

// The runtime's one owner.
std::unique_ptr<Runtime>& TheRuntime() {
  static std::unique_ptr<Runtime> runtime;
  return runtime;
}

bool g_registration_mode = false;
bool g_term_handler_added = false;

int OnMessage(sd_bus_message* m, void* /*userdata*/, sd_bus_error* /*error*/) {
  Runtime* runtime = CurrentRuntime();
  if (runtime && sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
    sd_event_exit(runtime->event.get(), 0);
  }
  return 0;
}

int OnEndSignal(sd_event_source* source, const signalfd_siginfo* /*info*/, void* /*userdata*/) {
  return sd_event_exit(sd_event_source_get_event(source), 0);
}

// Connects to the bus that started the process, else to the session bus.
int Connect(Ptr<sd_bus>* out) {
  const std::string starter = StarterBusAddress();
  sd_bus* bus = nullptr;
  if (starter.empty()) {
    const int r = sd_bus_open_user(&bus);
    out->reset(bus);
    return r;
  }
  int r = sd_bus_new(&bus);
  if (r < 0) return r;
  out->reset(bus);
  r = sd_bus_set_address(bus, starter.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  return r;
}

}  // namespace

Runtime::~Runtime() {
  suppress_lock_signals = true;
  classes.clear();
  notifications.reset();
  callers.reset();
  filter.reset();
  if (bus) sd_bus_detach_event(bus.get());
  bus.reset();
  event.reset();
}

Runtime* CurrentRuntime() { return TheRuntime().get(); }

Runtime* RuntimeOnThisThread() {
  Runtime* runtime = CurrentRuntime();
  return runtime && runtime->bus && std::this_thread::get_id() == runtime->thread ? runtime : nullptr;
}

BOOL OleInit(InitMode mode) {
  if (TheRuntime() || g_registration_mode) return TRUE;
  if (mode == InitMode::kRegistration) {
    g_registration_mode = true;
    return TRUE;
  }
  auto runtime = std::make_unique<Runtime>();
  if (Connect(&runtime->bus) < 0) return FALSE;
  sd_bus* bus = runtime->bus.get();
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0) return FALSE;  // waits for the bus's greeting
  sd_event* event = nullptr;
  if (sd_event_default(&event) < 0) return FALSE;
  runtime->event.reset(event);
  if (sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL) < 0) return FALSE;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_filter(bus, &slot, OnMessage, nullptr) < 0) return FALSE;
  runtime->filter.reset(slot);
  try {
    runtime->callers = std::make_unique<CallerCheck>(bus);
  } catch (const std::exception&) {
    return FALSE;
  }
  runtime->notifications = std::make_unique<NotificationWatch>(bus);
  TheRuntime() = std::move(runtime);
  TheRuntime()->sink = AfxAddReportSink(BroadcastReport);
  AfxSetMessagePump([] { return RunMessageLoop(); });
  if (!g_term_handler_added) {
    g_term_handler_added = true;
    AfxAddTermHandler([] { AfxOleTerm(); });
  }
  return TRUE;
}

BOOL IsConnected() {
  Runtime* runtime = CurrentRuntime();
  return runtime && runtime->bus && sd_bus_is_open(runtime->bus.get()) > 0;
}

int RunMessageLoop() {
  Runtime* runtime = RuntimeOnThisThread();
  if (runtime == nullptr || !IsConnected()) return 0;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  sd_event* event = runtime->event.get();
  sd_event_source* term = nullptr;
  sd_event_source* intr = nullptr;
  sd_event_add_signal(event, &term, SIGTERM, OnEndSignal, nullptr);
  sd_event_add_signal(event, &intr, SIGINT, OnEndSignal, nullptr);
  Ptr<sd_event_source> term_source(term), intr_source(intr);
  sd_event_loop(event);
  return 0;
}

void Terminate() {
  g_registration_mode = false;
  if (!TheRuntime()) return;
  COleObjectFactory::RevokeAll();
  AfxRemoveReportSink(TheRuntime()->sink);
  AfxSetMessagePump({});
  TheRuntime().reset();  // no longer current while it ends
}

}  // namespace mivo::ole

BOOL AfxOleInit() {
  using mivo::ole::InitMode;
  return mivo::ole::OleInit(mivo::ole::IsRegistrationRun() ? InitMode::kRegistration : InitMode::kServe);
}

void AfxOleTerm() { mivo::ole::Terminate(); }
