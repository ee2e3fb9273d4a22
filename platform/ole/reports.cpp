// Reports and change events on the bus: the Message signal on every class object's path and a desktop
// notification while a notification service is there; the change signals on every class object's path.
#include <cstring>

#include "platform/ole/contract.h"
#include "platform/ole/runtime.h"

namespace mivo::ole {
namespace {

constexpr char kNotifications[] = "org.freedesktop.Notifications";

std::string EscapeMarkup(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Emits the signal `member` of the events interface with `types` and `args` on the class object's path of
// every factory of the process.
template <class... Args>
void EmitOnClassPaths(sd_bus* bus, const char* member, const char* types, Args... args) {
  for (COleObjectFactory* factory : COleObjectFactory::Factories()) {
    if (factory->GetProgID().empty()) continue;
    const std::string path = ClassObjectPath(AfxToUtf8(factory->GetProgID()));
    if (!sd_bus_object_path_is_valid(path.c_str())) continue;
    sd_bus_emit_signal(bus, path.c_str(), kEventsInterface, member, types, args...);
  }
}

}  // namespace

NotificationWatch::NotificationWatch(sd_bus* bus) {
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_match_async(bus, &slot,
                             "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                             "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                             "arg0='org.freedesktop.Notifications'",
                             OnOwnerChanged, nullptr, this) >= 0) {
    match_.reset(slot);
  }
  ErrorHolder error;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", &error.error, &reply, "s", kNotifications) >= 0) {
    Ptr<sd_bus_message> owner(reply);
    int has = 0;
    if (sd_bus_message_read(reply, "b", &has) >= 0) owned_ = has != 0;
  }
}

int NotificationWatch::OnOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  const char* name = nullptr;
  const char* old_owner = nullptr;
  const char* new_owner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0 && name &&
      std::strcmp(name, kNotifications) == 0) {
    static_cast<NotificationWatch*>(userdata)->owned_ = new_owner && *new_owner;
  }
  return 0;
}

void BroadcastReport(const AfxReport& report) {
  Runtime* runtime = RuntimeOnThisThread();
  if (runtime == nullptr) return;
  sd_bus* bus = runtime->bus.get();
  const std::string title = AfxToUtf8(report.title);
  const std::string text = AfxToUtf8(report.text);
  EmitOnClassPaths(bus, kMessageSignal, "ss", title.c_str(), text.c_str());
  if (!runtime->notifications || !runtime->notifications->owned()) return;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kNotifications, "/org/freedesktop/Notifications",
                                     kNotifications, "Notify") < 0) {
    return;
  }
  Ptr<sd_bus_message> call(raw);
  sd_bus_message_set_expect_reply(raw, 0);
  sd_bus_message_set_auto_start(raw, 0);
  if (sd_bus_message_append(raw, "susssasa{sv}i", title.c_str(), 0U, "", title.c_str(),
                            EscapeMarkup(text).c_str(), 0, 0, -1) < 0) {
    return;
  }
  sd_bus_send(bus, raw, nullptr);
}

}  // namespace mivo::ole

void AfxOleLanguageChanged(short languageId) {
  using namespace mivo::ole;
  if (Runtime* runtime = RuntimeOnThisThread()) {
    EmitOnClassPaths(runtime->bus.get(), kLanguageChangedSignal, "n", static_cast<std::int16_t>(languageId));
  }
}

void AfxOleConfigChanged(const CString& module, const CString& key, const CString& value) {
  using namespace mivo::ole;
  if (Runtime* runtime = RuntimeOnThisThread()) {
    EmitOnClassPaths(runtime->bus.get(), kConfigChangedSignal, "sss", AfxToUtf8(module).c_str(),
                     AfxToUtf8(key).c_str(), AfxToUtf8(value).c_str());
  }
}

void AfxOleReloaded(const char* store) {
  using namespace mivo::ole;
  if (Runtime* runtime = RuntimeOnThisThread())
    EmitOnClassPaths(runtime->bus.get(), kReloadedSignal, "s", store);
}
