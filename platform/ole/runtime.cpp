// The bus side of the runtime: the connection and its event loop, the class objects, the automation
// objects and their clients, the dispatch interfaces, and the broadcast of reports.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/afx/winapp.h"
#include "platform/ole/afxdisp.h"
#include "platform/ole/oleruntime.h"

namespace mivo::ole {
namespace {

constexpr char kClassFactoryInterface[] = "Mivo.DataBase.ClassFactory";
constexpr char kEventsInterface[] = "Mivo.DataBase.Events";
constexpr char kDispatchInterface[] = "Mivo.DataBase.Dispatch";
constexpr char kErrorPrefix[] = "Mivo.DataBase.Error.";
constexpr char kNotifications[] = "org.freedesktop.Notifications";

struct Unref {
  void operator()(sd_bus* p) const { sd_bus_flush_close_unref(p); }
  void operator()(sd_event* p) const { sd_event_unref(p); }
  void operator()(sd_bus_slot* p) const { sd_bus_slot_unref(p); }
  void operator()(sd_bus_track* p) const { sd_bus_track_unref(p); }
  void operator()(sd_bus_message* p) const { sd_bus_message_unref(p); }
  void operator()(sd_event_source* p) const { sd_event_source_unref(p); }
};
template <class T>
using Ptr = std::unique_ptr<T, Unref>;

struct ErrorFree {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~ErrorFree() { sd_bus_error_free(&error); }
};

struct ClassRecord;

// An exported target: the class object's shared instance or an automation object.
struct ObjectRecord {
  ClassRecord* cls = nullptr;
  std::uint64_t id = 0;  // 0 for the class object
  CCmdTarget* target = nullptr;
  std::string owner;  // unique bus name of the creating client
};

struct Client {
  Ptr<sd_bus_track> track;
  std::set<std::uint64_t> ids;
};

struct ClassRecord {
  COleObjectFactory* factory = nullptr;
  std::string progid;
  std::string path;
  std::string clsid;
  ObjectRecord class_object;
  LONG shared_locks = 0;  // locks the shared instance's construction took and gave back
  std::deque<std::string> strings;  // storage for the generated vtable's texts
  std::vector<sd_bus_vtable> typed_vtable;
  std::vector<Ptr<sd_bus_slot>> slots;
  std::map<std::uint64_t, std::unique_ptr<ObjectRecord>> objects;
  std::map<std::string, Client> clients;
};

class Runtime {
 public:
  Ptr<sd_bus> bus;
  Ptr<sd_event> event;
  Ptr<sd_bus_slot> filter;
  Ptr<sd_bus_slot> notifications_match;
  std::map<const COleObjectFactory*, std::unique_ptr<ClassRecord>> classes;
  std::thread::id thread = std::this_thread::get_id();
  bool notifications_owned = false;
  bool suppress_lock_signals = false;
  int sink = 0;
};

Runtime* g_runtime = nullptr;
bool g_registration_mode = false;
bool g_term_handler_added = false;

// Object numbers, per class, never reused while the process runs.
std::map<CString, std::uint64_t>& NextIds() {
  static auto* ids = new std::map<CString, std::uint64_t>;
  return *ids;
}

bool OnRuntimeThread() { return g_runtime && std::this_thread::get_id() == g_runtime->thread; }

// ---- Errors --------------------------------------------------------------------------------------------

const char* ErrorName(HRESULT hr) {
  switch (hr) {
    case DISP_E_UNKNOWNNAME:
      return "UnknownName";
    case DISP_E_MEMBERNOTFOUND:
      return "MemberNotFound";
    case DISP_E_BADPARAMCOUNT:
      return "BadParamCount";
    case DISP_E_TYPEMISMATCH:
      return "TypeMismatch";
    case DISP_E_OVERFLOW:
      return "Overflow";
    case DISP_E_EXCEPTION:
      return "Exception";
    case DISP_E_BADVARTYPE:
      return "BadVarType";
    default:
      return "Failed";
  }
}

// Sets the D-Bus error for an HRESULT and returns the handler's negative result.
int SetError(sd_bus_error* error, HRESULT hr, const std::string& text) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  const std::string name = std::string(kErrorPrefix) + ErrorName(hr);
  const std::string message = std::string(code) + " " + text;
  return sd_bus_error_set(error, name.c_str(), message.c_str());
}

// The error of a failed Invoke.
int SetInvokeError(sd_bus_error* error, HRESULT hr, CCmdTarget* target, DISPID dispid, std::size_t count,
                   UINT arg, const EXCEPINFO& info) {
  const AFX_DISPMAP_ENTRY* entry = target->FindDispEntry(dispid);
  const std::string member = entry ? entry->lpszName : "?";
  switch (hr) {
    case DISP_E_MEMBERNOTFOUND:
      return SetError(error, hr, "Member not found: DISPID " + std::to_string(dispid));
    case DISP_E_BADPARAMCOUNT:
      return SetError(error, hr,
                      "Invalid number of parameters: " + member + " takes " +
                          std::to_string(entry ? std::strlen(entry->lpvtParams) : 0) + ", " +
                          std::to_string(count) + " given");
    case DISP_E_TYPEMISMATCH:
      return SetError(error, hr, "Type mismatch in argument " + std::to_string(arg) + " of " + member);
    case DISP_E_OVERFLOW:
      return SetError(error, hr, "Overflow in argument " + std::to_string(arg) + " of " + member);
    case DISP_E_BADVARTYPE:
      return SetError(error, hr, "Bad variable type in argument " + std::to_string(arg) + " of " + member);
    case DISP_E_EXCEPTION: {
      const std::string description = AfxToUtf8(info.bstrDescription);
      return SetError(error, hr, description.empty() ? "Exception in " + member : description);
    }
    default:
      return SetError(error, hr, "Call of " + member + " failed");
  }
}

// ---- Wire forms ----------------------------------------------------------------------------------------

char WireType(VARTYPE vt) {
  switch (vt) {
    case VT_I2:
      return 'n';
    case VT_I4:
      return 'i';
    case VT_BOOL:
      return 'b';
    case VT_BSTR:
      return 's';
    case VT_R8:
    case VT_DATE:
      return 'd';
    default:
      return 0;
  }
}

// Appends a result VARIANT as the contents of a "v".
int AppendVariant(sd_bus_message* m, const VARIANT& v) {
  switch (v.vt) {
    case VT_I2:
      return sd_bus_message_append(m, "v", "n", static_cast<std::int16_t>(v.llVal));
    case VT_I4:
      return sd_bus_message_append(m, "v", "i", static_cast<std::int32_t>(v.llVal));
    case VT_BOOL:
      return sd_bus_message_append(m, "v", "b", v.llVal != 0 ? 1 : 0);
    case VT_R8:
    case VT_DATE:
      return sd_bus_message_append(m, "v", "d", v.dblVal);
    case VT_BSTR:
      if (!v.bstrVal) return sd_bus_message_append(m, "v", "(u)", static_cast<std::uint32_t>(VT_BSTR));
      return sd_bus_message_append(m, "v", "s", AfxToUtf8(*v.bstrVal).c_str());
    default:
      return sd_bus_message_append(m, "v", "(u)", static_cast<std::uint32_t>(v.vt));
  }
}

// Reads one "v" of Invoke's argument array. A by-reference BSTR gets its storage from `storage`.
int ReadArgument(sd_bus_message* m, std::deque<BSTR>& storage, VARIANT* out, bool* by_ref) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r < 0) return r;
  const std::string inner = contents ? contents : "";
  *by_ref = false;
  if (inner.size() == 1 && std::strchr("ynqiuxtdbs", inner[0])) {
    r = sd_bus_message_enter_container(m, 'v', inner.c_str());
    if (r < 0) return r;
    switch (inner[0]) {
      case 'y': {
        std::uint8_t v = 0;
        r = sd_bus_message_read_basic(m, 'y', &v);
        *out = VARIANT::UI1(v);
        break;
      }
      case 'n': {
        std::int16_t v = 0;
        r = sd_bus_message_read_basic(m, 'n', &v);
        *out = VARIANT::I2(v);
        break;
      }
      case 'q': {
        std::uint16_t v = 0;
        r = sd_bus_message_read_basic(m, 'q', &v);
        *out = VARIANT::UI2(v);
        break;
      }
      case 'i': {
        std::int32_t v = 0;
        r = sd_bus_message_read_basic(m, 'i', &v);
        *out = VARIANT::I4(v);
        break;
      }
      case 'u': {
        std::uint32_t v = 0;
        r = sd_bus_message_read_basic(m, 'u', &v);
        *out = VARIANT::UI4(v);
        break;
      }
      case 'x': {
        std::int64_t v = 0;
        r = sd_bus_message_read_basic(m, 'x', &v);
        *out = VARIANT::I8(v);
        break;
      }
      case 't': {
        std::uint64_t v = 0;
        r = sd_bus_message_read_basic(m, 't', &v);
        *out = VARIANT::UI8(v);
        break;
      }
      case 'd': {
        double v = 0;
        r = sd_bus_message_read_basic(m, 'd', &v);
        *out = VARIANT::R8(v);
        break;
      }
      case 'b': {
        int v = 0;
        r = sd_bus_message_read_basic(m, 'b', &v);
        *out = VARIANT::Bool(v != 0);
        break;
      }
      default: {
        const char* v = nullptr;
        r = sd_bus_message_read_basic(m, 's', &v);
        *out = VARIANT::Bstr(AfxFromUtf8(v ? v : ""));
        break;
      }
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
  }
  if (inner == "(u)") {
    std::uint32_t vt = 0;
    r = sd_bus_message_read(m, "v", "(u)", &vt);
    if (r < 0) return r;
    if (vt == VT_EMPTY) {
      *out = VARIANT::Empty();
    } else if (vt == VT_NULL) {
      *out = VARIANT::Null();
    } else if (vt == VT_BSTR) {
      *out = VARIANT::NullBstr();
    } else {
      VARIANT error;
      error.vt = VT_ERROR;  // not a value-less type: no conversion accepts it
      *out = error;
    }
    return 0;
  }
  if (inner == "(s)") {
    const char* v = nullptr;
    r = sd_bus_message_read(m, "v", "(s)", &v);
    if (r < 0) return r;
    storage.emplace_back(AfxFromUtf8(v ? v : ""));
    *out = VARIANT::ByRefBstr(&storage.back());
    *by_ref = true;
    return 0;
  }
  // A wire type that stands for no VARTYPE of ours: skip it; no conversion accepts it.
  r = sd_bus_message_skip(m, "v");
  if (r < 0) return r;
  VARIANT error;
  error.vt = VT_ERROR;
  *out = error;
  return 0;
}

// ---- Objects -------------------------------------------------------------------------------------------

void EmitObjectCount(ClassRecord* cls) {
  if (!g_runtime || cls->slots.empty()) return;
  sd_bus_emit_properties_changed(g_runtime->bus.get(), cls->path.c_str(), kClassFactoryInterface, "ObjectCount",
                                 nullptr);
}

// Drops one automation object: its reference goes, the target's OnFinalRelease runs.
void DropObject(ClassRecord* cls, std::uint64_t id) {
  auto it = cls->objects.find(id);
  if (it == cls->objects.end()) return;
  std::unique_ptr<ObjectRecord> record = std::move(it->second);
  cls->objects.erase(it);
  if (auto client = cls->clients.find(record->owner); client != cls->clients.end()) {
    client->second.ids.erase(id);
  }
  record->target->ExternalRelease();
}

int OnClientGone(sd_bus_track* track, void* userdata) {
  auto* cls = static_cast<ClassRecord*>(userdata);
  for (auto it = cls->clients.begin(); it != cls->clients.end(); ++it) {
    if (it->second.track.get() != track) continue;
    const std::set<std::uint64_t> ids = it->second.ids;
    for (std::uint64_t id : ids) DropObject(cls, id);
    cls->clients.erase(it);  // the bus holds its own reference while this handler runs
    break;
  }
  return 1;
}

// Finds the target of a path below (or at) the class object's path.
int FindObject(sd_bus* /*bus*/, const char* path, const char* /*interface*/, void* userdata, void** found,
               sd_bus_error* /*error*/) {
  auto* cls = static_cast<ClassRecord*>(userdata);
  const std::string_view p(path);
  if (p == cls->path) {
    *found = &cls->class_object;
    return 1;
  }
  if (p.size() <= cls->path.size() + 1 || p.substr(0, cls->path.size()) != cls->path ||
      p[cls->path.size()] != '/') {
    return 0;
  }
  const std::string_view number = p.substr(cls->path.size() + 1);
  if (number[0] == '0' || number.size() > 19) return 0;
  std::uint64_t id = 0;
  for (char c : number) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + static_cast<std::uint64_t>(c - '0');
  }
  auto it = cls->objects.find(id);
  if (it == cls->objects.end()) return 0;
  *found = it->second.get();
  return 1;
}

// Finds the class record for the class object's own path only (the factory and events interfaces).
int FindClass(sd_bus* /*bus*/, const char* path, const char* /*interface*/, void* userdata, void** found,
              sd_bus_error* /*error*/) {
  auto* cls = static_cast<ClassRecord*>(userdata);
  if (cls->path != path) return 0;
  *found = cls;
  return 1;
}

int EnumerateObjects(sd_bus* /*bus*/, const char* /*prefix*/, void* userdata, char*** nodes,
                     sd_bus_error* /*error*/) {
  auto* cls = static_cast<ClassRecord*>(userdata);
  char** list = static_cast<char**>(std::calloc(cls->objects.size() + 1, sizeof(char*)));
  if (list == nullptr) return -ENOMEM;
  std::size_t i = 0;
  for (const auto& [id, record] : cls->objects) {
    list[i] = strdup((cls->path + "/" + std::to_string(id)).c_str());
    if (list[i] == nullptr) {
      for (std::size_t k = 0; k < i; ++k) std::free(list[k]);
      std::free(list);
      return -ENOMEM;
    }
    ++i;
  }
  *nodes = list;
  return 0;
}

// ---- Mivo.DataBase.ClassFactory ------------------------------------------------------------------------

int CreateInstance(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* cls = static_cast<ClassRecord*>(userdata);
  CCmdTarget* target = nullptr;
  try {
    target = cls->factory->CreateObject();
  } catch (const std::exception& e) {
    return SetError(error, DISP_E_EXCEPTION, e.what());
  } catch (...) {
    return SetError(error, DISP_E_EXCEPTION, "Exception while creating the object");
  }
  if (target == nullptr) return SetError(error, E_OUTOFMEMORY, "The object could not be created");
  const std::uint64_t id = NextIds()[cls->factory->GetProgID()]++;
  auto record = std::make_unique<ObjectRecord>();
  record->cls = cls;
  record->id = id;
  record->target = target;
  record->owner = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
  cls->objects.emplace(id, std::move(record));
  const std::string path = cls->path + "/" + std::to_string(id);
  const std::string owner = cls->objects[id]->owner;
  if (!owner.empty()) {
    Client& client = cls->clients[owner];
    if (!client.track) {
      sd_bus_track* track = nullptr;
      if (sd_bus_track_new(g_runtime->bus.get(), &track, OnClientGone, cls) >= 0) {
        client.track.reset(track);
        if (sd_bus_track_add_name(track, owner.c_str()) < 0) client.track.reset();
      }
    }
    if (client.track) {
      client.ids.insert(id);
    } else {
      cls->clients.erase(owner);  // the client cannot be watched (it left already): it keeps nothing
      DropObject(cls, id);
      return SetError(error, E_FAIL, "The calling client cannot be tracked");
    }
  }
  return sd_bus_reply_method_return(m, "o", path.c_str());
}

int GetObjectCount(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* /*property*/,
                   sd_bus_message* reply, void* /*userdata*/, sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "u", static_cast<std::uint32_t>(AfxOleGetLockCount()));
}

int GetClassId(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* /*property*/,
               sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "s", static_cast<ClassRecord*>(userdata)->clsid.c_str());
}

const sd_bus_vtable kClassFactoryVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("CreateInstance", "", "", "o", SD_BUS_PARAM(object), CreateInstance, 0),
    SD_BUS_PROPERTY("ObjectCount", "u", GetObjectCount, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("ClassId", "s", GetClassId, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kEventsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_SIGNAL_WITH_NAMES("Message", "ss", SD_BUS_PARAM(title) SD_BUS_PARAM(text), 0),
    SD_BUS_VTABLE_END,
};

// ---- Mivo.DataBase.Dispatch ----------------------------------------------------------------------------

int GetIDsOfNames(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* object = static_cast<ObjectRecord*>(userdata);
  char** strv = nullptr;
  int r = sd_bus_message_read_strv(m, &strv);
  if (r < 0) return r;
  std::vector<CString> names;
  for (char** s = strv; s && *s; ++s) {
    names.push_back(AfxFromUtf8(*s));
    std::free(*s);
  }
  std::free(strv);
  std::vector<DISPID> ids;
  const HRESULT hr = object->target->GetIDsOfNames(names, ids);
  if (FAILED(hr)) {
    if (names.empty()) return SetError(error, hr, "Unknown name: no name given");
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == DISPID_UNKNOWN) {
        return SetError(error, hr,
                        "Unknown name: " + AfxToUtf8(names[i]) + (i > 0 ? " (no parameter has a name)" : ""));
      }
    }
    return SetError(error, hr, "Unknown name");
  }
  Ptr<sd_bus_message> reply;
  sd_bus_message* raw = nullptr;
  r = sd_bus_message_new_method_return(m, &raw);
  if (r < 0) return r;
  reply.reset(raw);
  r = sd_bus_message_append_array(raw, 'i', ids.data(), ids.size() * sizeof(DISPID));
  if (r < 0) return r;
  return sd_bus_send(nullptr, raw, nullptr);
}

// Calls dispid on the target and sends the reply built by `append` (result, by-reference values).
int InvokeAndReply(sd_bus_message* m, ObjectRecord* object, DISPID dispid, std::vector<VARIANT>& args,
                   sd_bus_error* error, bool typed, const std::vector<std::size_t>& refs) {
  VARIANT result;
  EXCEPINFO info;
  UINT arg = 0;
  CCmdTarget* target = object->target;
  const HRESULT hr = target->Invoke(dispid, args, &result, &info, &arg);
  if (FAILED(hr)) return SetInvokeError(error, hr, target, dispid, args.size(), arg, info);
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_return(m, &raw);
  if (r < 0) return r;
  Ptr<sd_bus_message> reply(raw);
  if (typed) {
    switch (result.vt) {
      case VT_EMPTY:
        break;
      case VT_I2:
        r = sd_bus_message_append(raw, "n", static_cast<std::int16_t>(result.llVal));
        break;
      case VT_I4:
        r = sd_bus_message_append(raw, "i", static_cast<std::int32_t>(result.llVal));
        break;
      case VT_BOOL:
        r = sd_bus_message_append(raw, "b", result.llVal != 0 ? 1 : 0);
        break;
      case VT_R8:
      case VT_DATE:
        r = sd_bus_message_append(raw, "d", result.dblVal);
        break;
      case VT_BSTR:
        r = sd_bus_message_append(raw, "s", result.bstrVal ? AfxToUtf8(*result.bstrVal).c_str() : "");
        break;
      default:
        return SetError(error, DISP_E_BADVARTYPE, "Result type has no wire form");
    }
    if (r < 0) return r;
    for (std::size_t i : refs) {
      const BSTR* value = args[i].pbstrVal;
      r = sd_bus_message_append(raw, "s", value && *value ? AfxToUtf8(**value).c_str() : "");
      if (r < 0) return r;
    }
  } else {
    r = AppendVariant(raw, result);
    if (r < 0) return r;
    r = sd_bus_message_open_container(raw, 'a', "v");
    if (r < 0) return r;
    for (std::size_t i : refs) {
      const BSTR* value = args[i].pbstrVal;
      r = sd_bus_message_append(raw, "v", "s", value && *value ? AfxToUtf8(**value).c_str() : "");
      if (r < 0) return r;
    }
    r = sd_bus_message_close_container(raw);
    if (r < 0) return r;
  }
  return sd_bus_send(nullptr, raw, nullptr);
}

int Invoke(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* object = static_cast<ObjectRecord*>(userdata);
  std::int32_t dispid = 0;
  int r = sd_bus_message_read(m, "i", &dispid);
  if (r < 0) return r;
  r = sd_bus_message_enter_container(m, 'a', "v");
  if (r < 0) return r;
  std::deque<BSTR> storage;  // by-reference values: stable addresses
  std::vector<VARIANT> args;
  std::vector<std::size_t> refs;
  for (;;) {
    r = sd_bus_message_at_end(m, false);
    if (r < 0) return r;
    if (r > 0) break;
    VARIANT v;
    bool by_ref = false;
    r = ReadArgument(m, storage, &v, &by_ref);
    if (r < 0) return r;
    if (by_ref) refs.push_back(args.size());
    args.push_back(std::move(v));
  }
  r = sd_bus_message_exit_container(m);
  if (r < 0) return r;
  return InvokeAndReply(m, object, dispid, args, error, false, refs);
}

int Release(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* object = static_cast<ObjectRecord*>(userdata);
  if (object->id != 0) DropObject(object->cls, object->id);  // object is gone now
  return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kDispatchVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("GetIDsOfNames", "as", SD_BUS_PARAM(names), "ai", SD_BUS_PARAM(dispids),
                             GetIDsOfNames, 0),
    SD_BUS_METHOD_WITH_NAMES("Invoke", "iav", SD_BUS_PARAM(dispid) SD_BUS_PARAM(args), "vav",
                             SD_BUS_PARAM(result) SD_BUS_PARAM(refs), Invoke, 0),
    SD_BUS_METHOD("Release", "", "", Release, 0),
    SD_BUS_VTABLE_END,
};

// ---- The typed interface -------------------------------------------------------------------------------

int TypedMethod(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* object = static_cast<ObjectRecord*>(userdata);
  const char* member = sd_bus_message_get_member(m);
  const AFX_DISPMAP_ENTRY* entry = nullptr;
  for (const AFX_DISPMAP_ENTRY* e : object->target->GetDispEntries()) {
    if (member && std::strcmp(e->lpszName, member) == 0) {
      entry = e;
      break;
    }
  }
  if (entry == nullptr) return SetError(error, DISP_E_MEMBERNOTFOUND, std::string("Member not found: ") + member);
  std::deque<BSTR> storage;
  std::vector<VARIANT> args;
  std::vector<std::size_t> refs;
  int r = 0;
  for (const char* p = entry->lpvtParams; *p; ++p) {
    const auto declared = static_cast<unsigned char>(*p);
    if ((declared & VT_MFCBYREF) != 0) {
      const char* v = nullptr;
      r = sd_bus_message_read_basic(m, 's', &v);
      storage.emplace_back(AfxFromUtf8(v ? v : ""));
      refs.push_back(args.size());
      args.push_back(VARIANT::ByRefBstr(&storage.back()));
    } else if (declared == VT_I2) {
      std::int16_t v = 0;
      r = sd_bus_message_read_basic(m, 'n', &v);
      args.push_back(VARIANT::I2(v));
    } else if (declared == VT_I4) {
      std::int32_t v = 0;
      r = sd_bus_message_read_basic(m, 'i', &v);
      args.push_back(VARIANT::I4(v));
    } else if (declared == VT_BOOL) {
      int v = 0;
      r = sd_bus_message_read_basic(m, 'b', &v);
      args.push_back(VARIANT::Bool(v != 0));
    } else if (declared == VT_R8 || declared == VT_DATE) {
      double v = 0;
      r = sd_bus_message_read_basic(m, 'd', &v);
      args.push_back(declared == VT_DATE ? VARIANT::Date(v) : VARIANT::R8(v));
    } else {
      const char* v = nullptr;
      r = sd_bus_message_read_basic(m, 's', &v);
      args.push_back(VARIANT::Bstr(AfxFromUtf8(v ? v : "")));
    }
    if (r < 0) return r;
  }
  return InvokeAndReply(m, object, entry->lDispID, args, error, true, refs);
}

// Builds the typed vtable of a class from its dispatch map; false when a member has a type without a
// wire form.
bool BuildTypedVtable(ClassRecord* cls, CCmdTarget* shared) {
  sd_bus_vtable start;
  std::memset(&start, 0, sizeof start);
  start = SD_BUS_VTABLE_START(0);
  cls->typed_vtable.push_back(start);
  for (const AFX_DISPMAP_ENTRY* entry : shared->GetDispEntries()) {
    std::string in, out;
    for (const char* p = entry->lpvtParams; *p; ++p) {
      const auto declared = static_cast<unsigned char>(*p);
      const char c = (declared & VT_MFCBYREF) != 0 ? 's' : WireType(declared);
      if (c == 0) return false;
      in += c;
    }
    if (entry->vtReturn != VT_EMPTY) {
      const char c = WireType(entry->vtReturn);
      if (c == 0) return false;
      out += c;
    }
    for (const char* p = entry->lpvtParams; *p; ++p) {
      if ((static_cast<unsigned char>(*p) & VT_MFCBYREF) != 0) out += 's';
    }
    const std::string& in_s = cls->strings.emplace_back(in);
    const std::string& out_s = cls->strings.emplace_back(out);
    sd_bus_vtable method;
    std::memset(&method, 0, sizeof method);
    method.type = _SD_BUS_VTABLE_METHOD;
    method.flags = 0;
    method.x.method.member = entry->lpszName;
    method.x.method.signature = in_s.c_str();
    method.x.method.result = out_s.c_str();
    method.x.method.handler = TypedMethod;
    method.x.method.offset = 0;
    method.x.method.names = "";
    cls->typed_vtable.push_back(method);
  }
  sd_bus_vtable end;
  std::memset(&end, 0, sizeof end);
  end = SD_BUS_VTABLE_END;
  cls->typed_vtable.push_back(end);
  return true;
}

// ---- Reports -------------------------------------------------------------------------------------------

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

void Broadcast(const AfxReport& report) {
  if (!OnRuntimeThread() || !g_runtime->bus) return;
  sd_bus* bus = g_runtime->bus.get();
  const std::string title = AfxToUtf8(report.title);
  const std::string text = AfxToUtf8(report.text);
  for (COleObjectFactory* factory : COleObjectFactory::Factories()) {
    if (factory->GetProgID().empty()) continue;
    const std::string path = ClassObjectPath(factory->GetProgID());
    if (!sd_bus_object_path_is_valid(path.c_str())) continue;
    sd_bus_emit_signal(bus, path.c_str(), kEventsInterface, "Message", "ss", title.c_str(), text.c_str());
  }
  if (!g_runtime->notifications_owned) return;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kNotifications, "/org/freedesktop/Notifications", kNotifications,
                                     "Notify") < 0) {
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

int OnNotificationsOwner(sd_bus_message* m, void* /*userdata*/, sd_bus_error* /*error*/) {
  const char* name = nullptr;
  const char* old_owner = nullptr;
  const char* new_owner = nullptr;
  if (g_runtime && sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0 && name &&
      std::strcmp(name, kNotifications) == 0) {
    g_runtime->notifications_owned = new_owner && *new_owner;
  }
  return 0;
}

// ---- The connection ------------------------------------------------------------------------------------

int OnMessage(sd_bus_message* m, void* /*userdata*/, sd_bus_error* /*error*/) {
  if (g_runtime && sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
    sd_event_exit(g_runtime->event.get(), 0);
  }
  return 0;
}

int OnEndSignal(sd_event_source* source, const signalfd_siginfo* /*info*/, void* /*userdata*/) {
  return sd_event_exit(sd_event_source_get_event(source), 0);
}

int Connect(sd_bus** out) {
  const char* starter = std::getenv("DBUS_STARTER_ADDRESS");
  if (starter == nullptr || *starter == '\0') return sd_bus_open_user(out);
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) return r;
  Ptr<sd_bus> owner(bus);
  r = sd_bus_set_address(bus, starter);
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r < 0) return r;
  *out = owner.release();
  return 0;
}

}  // namespace

std::string ClassObjectPath(const CString& progid) {
  std::string path = "/" + AfxToUtf8(progid);
  for (char& c : path) {
    if (c == '.') c = '/';
  }
  return path;
}

void OnLockCountChanged() {
  if (!OnRuntimeThread() || g_runtime->suppress_lock_signals) return;
  for (auto& [factory, cls] : g_runtime->classes) EmitObjectCount(cls.get());
}

BOOL RegisterFactory(COleObjectFactory* factory) {
  if (!OnRuntimeThread() || !g_runtime->bus) return FALSE;
  if (g_runtime->classes.count(factory)) return TRUE;
  auto cls = std::make_unique<ClassRecord>();
  cls->factory = factory;
  cls->progid = AfxToUtf8(factory->GetProgID());
  cls->path = ClassObjectPath(factory->GetProgID());
  cls->clsid = AfxToUtf8(StringFromCLSID(factory->GetClassID()));
  if (!sd_bus_service_name_is_valid(cls->progid.c_str()) || !sd_bus_interface_name_is_valid(cls->progid.c_str()) ||
      !sd_bus_object_path_is_valid(cls->path.c_str())) {
    return FALSE;
  }
  // The class object: one shared instance that holds no lock.
  const LONG before = AfxOleGetLockCount();
  g_runtime->suppress_lock_signals = true;
  CCmdTarget* shared = nullptr;
  try {
    shared = factory->CreateObject();
  } catch (...) {
    shared = nullptr;
  }
  const LONG taken = AfxOleGetLockCount() - before;
  for (LONG i = 0; i < taken; ++i) AfxOleUnlockApp();
  g_runtime->suppress_lock_signals = false;
  if (shared == nullptr) return FALSE;
  cls->shared_locks = taken;
  cls->class_object.cls = cls.get();
  cls->class_object.target = shared;
  auto release_shared = [&] {
    g_runtime->suppress_lock_signals = true;
    for (LONG i = 0; i < cls->shared_locks; ++i) AfxOleLockApp();
    shared->ExternalRelease();
    g_runtime->suppress_lock_signals = false;
  };
  if (!BuildTypedVtable(cls.get(), shared)) {
    release_shared();
    return FALSE;
  }
  sd_bus* bus = g_runtime->bus.get();
  const char* path = cls->path.c_str();
  void* data = cls.get();
  // Keeps the slot of a successful registration; `r` is the registration's result, which has set `slot`.
  sd_bus_slot* slot = nullptr;
  auto keep = [&](int r) {
    if (r < 0) return false;
    cls->slots.emplace_back(slot);
    slot = nullptr;
    return true;
  };
  // All as fallbacks: sd-bus takes no mix of plain and fallback vtables on one path. The factory and the
  // events belong to the class path alone.
  bool ok = keep(
      sd_bus_add_fallback_vtable(bus, &slot, path, kClassFactoryInterface, kClassFactoryVtable, FindClass, data));
  ok = ok && keep(sd_bus_add_fallback_vtable(bus, &slot, path, kEventsInterface, kEventsVtable, FindClass, data));
  ok = ok && keep(sd_bus_add_fallback_vtable(bus, &slot, path, cls->progid.c_str(), cls->typed_vtable.data(),
                                             FindObject, data));
  ok = ok &&
       keep(sd_bus_add_fallback_vtable(bus, &slot, path, kDispatchInterface, kDispatchVtable, FindObject, data));
  ok = ok && keep(sd_bus_add_node_enumerator(bus, &slot, path, EnumerateObjects, data));
  // The name last: once a client can reach us by name, everything is in place. Queued: a second server
  // waits as standby and serves when the name passes to it.
  ok = ok && sd_bus_request_name(bus, cls->progid.c_str(), SD_BUS_NAME_QUEUE) >= 0;
  if (!ok) {
    cls->slots.clear();
    release_shared();
    return FALSE;
  }
  NextIds().try_emplace(factory->GetProgID(), 1);
  g_runtime->classes.emplace(factory, std::move(cls));
  return TRUE;
}

void RevokeFactory(COleObjectFactory* factory) {
  if (!g_runtime) return;
  auto it = g_runtime->classes.find(factory);
  if (it == g_runtime->classes.end()) return;
  std::unique_ptr<ClassRecord> cls = std::move(it->second);
  g_runtime->classes.erase(it);
  cls->slots.clear();
  if (g_runtime->bus && sd_bus_is_open(g_runtime->bus.get()) > 0) {
    sd_bus_release_name(g_runtime->bus.get(), cls->progid.c_str());
  }
  while (!cls->objects.empty()) DropObject(cls.get(), cls->objects.begin()->first);
  cls->clients.clear();
  g_runtime->suppress_lock_signals = true;
  for (LONG i = 0; i < cls->shared_locks; ++i) AfxOleLockApp();
  cls->class_object.target->ExternalRelease();
  g_runtime->suppress_lock_signals = false;
}

bool IsFactoryRegistered(const COleObjectFactory* factory) {
  return g_runtime && g_runtime->classes.count(factory) > 0;
}

BOOL IsRegistrationRun() {
  CString line;
  for (const CString& arg : AfxGetCommandLineArgs()) line += arg + u' ';
  auto matches_at = [&](std::size_t pos, std::u16string_view name) {
    if (pos + name.size() > line.size()) return false;
    for (std::size_t k = 0; k < name.size(); ++k) {
      char16_t c = line[pos + k];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != name[k]) return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != u'/' && line[i] != u'-') continue;
    if (matches_at(i + 1, u"regserver") || matches_at(i + 1, u"unregserver")) return TRUE;
  }
  return FALSE;
}

BOOL OleInit(InitMode mode) {
  if (g_runtime || g_registration_mode) return TRUE;
  if (mode == InitMode::kRegistration) {
    g_registration_mode = true;
    return TRUE;
  }
  sd_bus* raw_bus = nullptr;
  if (Connect(&raw_bus) < 0) return FALSE;
  auto runtime = std::make_unique<Runtime>();
  runtime->bus.reset(raw_bus);
  sd_bus* bus = raw_bus;
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0) return FALSE;  // waits for the bus's greeting
  sd_event* event = nullptr;
  if (sd_event_default(&event) < 0) return FALSE;
  runtime->event.reset(event);
  if (sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL) < 0) return FALSE;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_filter(bus, &slot, OnMessage, nullptr) < 0) return FALSE;
  runtime->filter.reset(slot);
  // Whether a notification service is on the bus: watched from now on, asked once.
  if (sd_bus_add_match_async(bus, &slot,
                             "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                             "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                             "arg0='org.freedesktop.Notifications'",
                             OnNotificationsOwner, nullptr, nullptr) >= 0) {
    runtime->notifications_match.reset(slot);
  }
  {
    ErrorFree error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error.error, &reply, "s", kNotifications) >= 0) {
      Ptr<sd_bus_message> owner(reply);
      int has = 0;
      if (sd_bus_message_read(reply, "b", &has) >= 0) runtime->notifications_owned = has != 0;
    }
  }
  g_runtime = runtime.release();
  g_runtime->sink = AfxAddReportSink(Broadcast);
  AfxSetMessagePump([] { return RunMessageLoop(); });
  if (!g_term_handler_added) {
    g_term_handler_added = true;
    AfxAddTermHandler([] { AfxOleTerm(); });
  }
  return TRUE;
}

BOOL IsConnected() { return g_runtime && g_runtime->bus && sd_bus_is_open(g_runtime->bus.get()) > 0; }

int RunMessageLoop() {
  if (!OnRuntimeThread() || !IsConnected()) return 0;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  sd_event* event = g_runtime->event.get();
  sd_event_source* term = nullptr;
  sd_event_source* intr = nullptr;
  sd_event_add_signal(event, &term, SIGTERM, OnEndSignal, nullptr);
  sd_event_add_signal(event, &intr, SIGINT, OnEndSignal, nullptr);
  Ptr<sd_event_source> term_source(term), intr_source(intr);
  sd_event_loop(event);
  return 0;
}

}  // namespace mivo::ole

BOOL AfxOleInit() {
  using mivo::ole::InitMode;
  return mivo::ole::OleInit(mivo::ole::IsRegistrationRun() ? InitMode::kRegistration : InitMode::kServe);
}

void AfxOleTerm() {
  using namespace mivo::ole;
  mivo::ole::g_registration_mode = false;
  if (!g_runtime) return;
  COleObjectFactory::RevokeAll();
  AfxRemoveReportSink(g_runtime->sink);
  AfxSetMessagePump({});
  std::unique_ptr<Runtime> runtime(g_runtime);
  runtime->notifications_match.reset();
  runtime->filter.reset();
  if (runtime->bus) sd_bus_detach_event(runtime->bus.get());
  runtime->bus.reset();  // flushes what is queued, then closes
  runtime->event.reset();
  g_runtime = nullptr;
}
