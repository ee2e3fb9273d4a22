// Who is answered: method calls of the server's own user and of root pass, every other caller is refused
// before any handler runs. A caller's user id is asked of the bus once per connection and forgotten when
// the connection leaves.
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "platform/ole/runtime.h"

namespace mivo::ole {

CallerCheck::CallerCheck(sd_bus* bus) : bus_(bus), own_uid_(::getuid()) {
  sd_bus_slot* slot = nullptr;
  // Synchronous: once it returns, every later departure from the bus reaches OnNameOwnerChanged.
  if (sd_bus_match_signal(bus, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "NameOwnerChanged", OnNameOwnerChanged, this) < 0) {
    throw std::runtime_error("the bus refused the watch on departing clients");
  }
  match_.reset(slot);
  slot = nullptr;
  if (sd_bus_add_filter(bus, &slot, OnMessage, this) < 0) throw std::runtime_error("no message filter");
  filter_.reset(slot);
}

int CallerCheck::OnMessage(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  std::uint8_t type = 0;
  if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) return 0;
  auto* self = static_cast<CallerCheck*>(userdata);
  if (self->Admits(sd_bus_message_get_sender(m))) return 0;
  if (!sd_bus_message_get_expect_reply(m)) return 1;
  sd_bus_reply_method_errorf(m, SD_BUS_ERROR_ACCESS_DENIED,
                             "Access denied: the server answers only its own user and root");
  return 1;  // handled: no object handler sees the call
}

bool CallerCheck::Admits(const char* sender) {
  if (sender == nullptr || sender[0] != ':') return false;  // no unique name: nobody to check
  if (const auto it = callers_.find(sender); it != callers_.end()) return it->second;
  ErrorHolder error;
  sd_bus_message* raw = nullptr;
  // The bus daemon's own record of the connection's user; a caller that left already gets an error.
  if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixUser", &error.error, &raw, "s", sender) < 0) {
    return false;
  }
  Ptr<sd_bus_message> reply(raw);
  std::uint32_t uid = 0;
  if (sd_bus_message_read(raw, "u", &uid) < 0) return false;
  const bool admitted = uid == own_uid_ || uid == 0;
  callers_.emplace(sender, admitted);
  return admitted;
}

int CallerCheck::OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  const char* name = nullptr;
  const char* old_owner = nullptr;
  const char* new_owner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0 || name == nullptr) return 0;
  if (name[0] == ':' && (new_owner == nullptr || new_owner[0] == '\0')) {
    static_cast<CallerCheck*>(userdata)->callers_.erase(name);
  }
  return 0;
}

}  // namespace mivo::ole
