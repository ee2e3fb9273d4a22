// The class objects on the bus, the automation objects and the clients that created them, and the
// interfaces they answer: Mivo.DataBase.ClassFactory, Mivo.DataBase.Dispatch and the typed interface
// generated from the class's dispatch map. The handlers only decode, call the target and encode.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/ole/contract.h"
#include "platform/ole/runtime.h"
#include "platform/ole/wire.h"

namespace mivo::ole {

namespace {

// An exported target: the class object's shared instance (id 0) or an automation object.
struct ObjectRecord {
  ClassRegistration::State* cls = nullptr;
  std::uint64_t id = 0;
  CCmdTarget* target = nullptr;
  std::string owner;  // unique bus name of the creating client
};

// A client that created automation objects; `track` tells when it leaves the bus.
struct Client {
  Ptr<sd_bus_track> track;
  std::set<std::uint64_t> ids;
};

// Object numbers, per class, never reused while the process runs.
std::uint64_t& NextId(const CString& progid) {
  static std::map<CString, std::uint64_t> ids;
  return ids.try_emplace(progid, 1).first->second;
}

// The class object's one shared instance. It holds no lock: the locks its construction takes are given
// back at once, and taken again before its release gives them back.
class SharedInstance {
 public:
  SharedInstance(Runtime& runtime, COleObjectFactory& factory) : runtime_(runtime) {
    LockSignalsSuppressed quiet(runtime_);
    const LONG before = AfxOleGetLockCount();
    try {
      target_ = factory.CreateObject();
    } catch (...) {
      target_ = nullptr;
    }
    locks_ = AfxOleGetLockCount() - before;
    for (LONG i = 0; i < locks_; ++i) AfxOleUnlockApp();
    if (target_ == nullptr) throw std::runtime_error("the class object could not be created");
  }
  ~SharedInstance() {
    LockSignalsSuppressed quiet(runtime_);
    for (LONG i = 0; i < locks_; ++i) AfxOleLockApp();
    target_->ExternalRelease();
  }
  SharedInstance(const SharedInstance&) = delete;
  SharedInstance& operator=(const SharedInstance&) = delete;

  CCmdTarget* target() const { return target_; }

 private:
  Runtime& runtime_;
  CCmdTarget* target_ = nullptr;
  LONG locks_ = 0;
};

}  // namespace

// Members end in reverse order: the slots (nothing reaches the handlers any more) before the shared
// instance they point at.
struct ClassRegistration::State {
  Runtime* runtime = nullptr;
  COleObjectFactory* factory = nullptr;
  std::string progid;
  std::string path;
  std::string clsid;
  std::unique_ptr<SharedInstance> shared;
  ObjectRecord class_object;
  std::deque<std::string> strings;  // storage for the typed vtable's signatures
  std::vector<sd_bus_vtable> typed_vtable;
  std::vector<Ptr<sd_bus_slot>> slots;
  std::map<std::uint64_t, std::unique_ptr<ObjectRecord>> objects;
  std::map<std::string, Client> clients;
};

namespace {

using State = ClassRegistration::State;

// Drops one automation object: its reference goes, the target's OnFinalRelease runs.
void DropObject(State* cls, std::uint64_t id) {
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
  auto* cls = static_cast<State*>(userdata);
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
  auto* cls = static_cast<State*>(userdata);
  if (cls->path == path) {
    *found = &cls->class_object;
    return 1;
  }
  const std::optional<std::uint64_t> id = ObjectId(path, cls->path);
  if (!id) return 0;
  auto it = cls->objects.find(*id);
  if (it == cls->objects.end()) return 0;
  *found = it->second.get();
  return 1;
}

// Finds the class for the class object's own path only (the factory and events interfaces).
int FindClass(sd_bus* /*bus*/, const char* path, const char* /*interface*/, void* userdata, void** found,
              sd_bus_error* /*error*/) {
  auto* cls = static_cast<State*>(userdata);
  if (cls->path != path) return 0;
  *found = cls;
  return 1;
}

int EnumerateObjects(sd_bus* /*bus*/, const char* /*prefix*/, void* userdata, char*** nodes,
                     sd_bus_error* /*error*/) {
  auto* cls = static_cast<State*>(userdata);
  char** list = static_cast<char**>(std::calloc(cls->objects.size() + 1, sizeof(char*)));
  if (list == nullptr) return -ENOMEM;
  std::size_t i = 0;
  for (const auto& [id, record] : cls->objects) {
    list[i] = strdup(ObjectPath(cls->path, id).c_str());
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
  auto* cls = static_cast<State*>(userdata);
  CCmdTarget* target = nullptr;
  try {
    target = cls->factory->CreateObject();
  } catch (const std::exception& e) {
    return SetError(error, DISP_E_EXCEPTION, e.what());
  } catch (...) {
    return SetError(error, DISP_E_EXCEPTION, "Exception while creating the object");
  }
  if (target == nullptr) return SetError(error, E_OUTOFMEMORY, "The object could not be created");
  const std::uint64_t id = NextId(cls->factory->GetProgID())++;
  auto record = std::make_unique<ObjectRecord>();
  record->cls = cls;
  record->id = id;
  record->target = target;
  record->owner = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
  const std::string owner = record->owner;
  cls->objects.emplace(id, std::move(record));
  if (!owner.empty()) {
    Client& client = cls->clients[owner];
    if (!client.track) {
      sd_bus_track* track = nullptr;
      if (sd_bus_track_new(cls->runtime->bus.get(), &track, OnClientGone, cls) >= 0) {
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
  return sd_bus_reply_method_return(m, "o", ObjectPath(cls->path, id).c_str());
}

int GetObjectCount(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* /*property*/,
                   sd_bus_message* reply, void* /*userdata*/, sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "u", static_cast<std::uint32_t>(AfxOleGetLockCount()));
}

int GetClassId(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* /*property*/,
               sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "s", static_cast<State*>(userdata)->clsid.c_str());
}

const sd_bus_vtable kClassFactoryVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("CreateInstance", "", "", "o", SD_BUS_PARAM(object), CreateInstance,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("ObjectCount", "u", GetObjectCount, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("ClassId", "s", GetClassId, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kEventsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_SIGNAL_WITH_NAMES(kMessageSignal, "ss", SD_BUS_PARAM(title) SD_BUS_PARAM(text), 0),
    SD_BUS_SIGNAL_WITH_NAMES(kLanguageChangedSignal, "n", SD_BUS_PARAM(language), 0),
    SD_BUS_SIGNAL_WITH_NAMES(kConfigChangedSignal, "sss",
                             SD_BUS_PARAM(module) SD_BUS_PARAM(key) SD_BUS_PARAM(value), 0),
    SD_BUS_SIGNAL_WITH_NAMES(kReloadedSignal, "s", SD_BUS_PARAM(store), 0),
    SD_BUS_VTABLE_END,
};

// ---- Calls ---------------------------------------------------------------------------------------------

// The arguments of one call: the VARIANTs in declaration order, the storage of the by-reference ones
// (stable addresses) and their positions.
struct Arguments {
  std::deque<BSTR> storage;
  std::vector<VARIANT> values;
  std::vector<std::size_t> refs;
};

// Calls `dispid` on the object's target and replies in the typed or the variant form.
int InvokeAndReply(sd_bus_message* m, ObjectRecord* object, DISPID dispid, Arguments& args,
                   sd_bus_error* error, bool typed) {
  VARIANT result;
  EXCEPINFO info;
  UINT arg = 0;
  CCmdTarget* target = object->target;
  const HRESULT hr = target->Invoke(dispid, args.values, &result, &info, &arg);
  if (FAILED(hr)) return SetInvokeError(error, hr, *target, dispid, args.values.size(), arg, info);
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_return(m, &raw);
  if (r < 0) return r;
  Ptr<sd_bus_message> reply(raw);
  if (typed) {
    r = wire::AppendTyped(raw, static_cast<unsigned char>(result.vt), result);
    if (r == -EINVAL) return SetError(error, DISP_E_BADVARTYPE, "Result type has no wire form");
    for (std::size_t i = 0; r >= 0 && i < args.refs.size(); ++i) {
      r = wire::AppendTyped(raw, VT_MFCBYREF | VT_BSTR, args.values[args.refs[i]]);
    }
  } else {
    r = wire::AppendVariant(raw, result);
    if (r >= 0) r = sd_bus_message_open_container(raw, 'a', "v");
    for (std::size_t i = 0; r >= 0 && i < args.refs.size(); ++i) {
      r = wire::AppendVariant(raw, VARIANT::Bstr(wire::ByRefText(args.values[args.refs[i]])));
    }
    if (r >= 0) r = sd_bus_message_close_container(raw);
  }
  if (r < 0) return r;
  return sd_bus_send(nullptr, raw, nullptr);
}

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
  sd_bus_message* raw = nullptr;
  r = sd_bus_message_new_method_return(m, &raw);
  if (r < 0) return r;
  Ptr<sd_bus_message> reply(raw);
  r = sd_bus_message_append_array(raw, 'i', ids.data(), ids.size() * sizeof(DISPID));
  if (r < 0) return r;
  return sd_bus_send(nullptr, raw, nullptr);
}

int Invoke(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* object = static_cast<ObjectRecord*>(userdata);
  std::int32_t dispid = 0;
  int r = sd_bus_message_read(m, "i", &dispid);
  if (r < 0) return r;
  r = sd_bus_message_enter_container(m, 'a', "v");
  if (r < 0) return r;
  Arguments args;
  for (;;) {
    r = sd_bus_message_at_end(m, false);
    if (r < 0) return r;
    if (r > 0) break;
    VARIANT v;
    r = wire::ReadVariant(m, &v, &args.storage);
    if (r < 0) return r;
    if (v.vt == (VT_BSTR | VT_BYREF)) args.refs.push_back(args.values.size());
    args.values.push_back(std::move(v));
  }
  r = sd_bus_message_exit_container(m);
  if (r < 0) return r;
  return InvokeAndReply(m, object, dispid, args, error, false);
}

int Release(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* object = static_cast<ObjectRecord*>(userdata);
  if (object->id != 0) DropObject(object->cls, object->id);  // object is gone now
  return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kDispatchVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("GetIDsOfNames", "as", SD_BUS_PARAM(names), "ai", SD_BUS_PARAM(dispids),
                             GetIDsOfNames, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Invoke", "iav", SD_BUS_PARAM(dispid) SD_BUS_PARAM(args), "vav",
                             SD_BUS_PARAM(result) SD_BUS_PARAM(refs), Invoke, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Release", "", "", Release, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// ---- Mivo.DataBase.Batch -------------------------------------------------------------------------------

// Answers a(ss) -> a(bs): `lookup` for each (module, key) in the order asked.
template <class Lookup>
int AnswerBatch(sd_bus_message* m, sd_bus_error* error, Lookup&& lookup) {
  std::vector<std::pair<CString, CString>> items;
  int r = sd_bus_message_enter_container(m, 'a', "(ss)");
  if (r < 0) return r;
  for (;;) {
    const char* module = nullptr;
    const char* key = nullptr;
    r = sd_bus_message_read(m, "(ss)", &module, &key);
    if (r < 0) return r;
    if (r == 0) break;
    if (items.size() == kMaxBatchItems) {
      return SetError(error, E_INVALIDARG,
                      "Too many items: a batch holds at most " + std::to_string(kMaxBatchItems) + " items");
    }
    items.emplace_back(AfxFromUtf8(module), AfxFromUtf8(key));
  }
  r = sd_bus_message_exit_container(m);
  if (r < 0) return r;
  sd_bus_message* raw = nullptr;
  r = sd_bus_message_new_method_return(m, &raw);
  if (r < 0) return r;
  Ptr<sd_bus_message> reply(raw);
  r = sd_bus_message_open_container(raw, 'a', "(bs)");
  for (std::size_t i = 0; r >= 0 && i < items.size(); ++i) {
    const CBatchLookups::Answer answer = lookup(items[i].first, items[i].second);
    r = sd_bus_message_append(raw, "(bs)", answer.found ? 1 : 0, AfxToUtf8(answer.text).c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(raw);
  if (r < 0) return r;
  return sd_bus_send(nullptr, raw, nullptr);
}

CBatchLookups* BatchOf(void* userdata) {
  return static_cast<ObjectRecord*>(userdata)->target->GetBatchLookups();
}

int GetLanguageStrings(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  CBatchLookups* batch = BatchOf(userdata);
  return AnswerBatch(m, error, [batch](const CString& module, const CString& key) {
    return batch->LookupLanguageString(module, key);
  });
}

int GetConfigStrings(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  CBatchLookups* batch = BatchOf(userdata);
  return AnswerBatch(m, error, [batch](const CString& module, const CString& key) {
    return batch->LookupConfigString(module, key);
  });
}

int ExplainLanguageString(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  const char* module = nullptr;
  const char* key = nullptr;
  const int r = sd_bus_message_read(m, "ss", &module, &key);
  if (r < 0) return r;
  const CBatchLookups::Explanation e =
      BatchOf(userdata)->ExplainLanguageString(AfxFromUtf8(module), AfxFromUtf8(key));
  return sd_bus_reply_method_return(m, "ssn", AfxToUtf8(e.text).c_str(), e.source,
                                    static_cast<std::int16_t>(e.language));
}

int GetLanguage(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* /*property*/,
                sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "n", static_cast<std::int16_t>(BatchOf(userdata)->CurrentLanguage()));
}

const sd_bus_vtable kBatchVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Language", "n", GetLanguage, 0, 0),
    SD_BUS_METHOD_WITH_NAMES("GetLanguageStrings", "a(ss)", SD_BUS_PARAM(items), "a(bs)",
                             SD_BUS_PARAM(answers), GetLanguageStrings, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("GetConfigStrings", "a(ss)", SD_BUS_PARAM(items), "a(bs)", SD_BUS_PARAM(answers),
                             GetConfigStrings, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("ExplainLanguageString", "ss", SD_BUS_PARAM(module) SD_BUS_PARAM(key), "ssn",
                             SD_BUS_PARAM(text) SD_BUS_PARAM(source) SD_BUS_PARAM(language),
                             ExplainLanguageString, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// ---- The typed interface -------------------------------------------------------------------------------

int TypedMethod(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* object = static_cast<ObjectRecord*>(userdata);
  const char* member = sd_bus_message_get_member(m);
  const AFX_DISPMAP_ENTRY* entry =
      member ? CCmdTarget::FindDispEntryByName(object->target->GetDispatchMap(), member) : nullptr;
  if (entry == nullptr)
    return SetError(error, DISP_E_MEMBERNOTFOUND, std::string("Member not found: ") + member);
  Arguments args;
  for (const char* p = entry->lpvtParams; *p; ++p) {
    const auto declared = static_cast<unsigned char>(*p);
    VARIANT v;
    const int r = wire::ReadTyped(m, declared, &v);
    if (r < 0) return r;
    if ((declared & VT_MFCBYREF) != 0) {
      args.storage.push_back(std::move(v.bstrVal));
      args.refs.push_back(args.values.size());
      v = VARIANT::ByRefBstr(&args.storage.back());
    }
    args.values.push_back(std::move(v));
  }
  return InvokeAndReply(m, object, entry->lDispID, args, error, true);
}

// Builds the typed vtable of a class from its dispatch map; false when a member has a type without a
// typed form.
bool BuildTypedVtable(State* cls, CCmdTarget* shared) {
  sd_bus_vtable start;
  std::memset(&start, 0, sizeof start);
  start = SD_BUS_VTABLE_START(0);
  cls->typed_vtable.push_back(start);
  for (const AFX_DISPMAP_ENTRY* entry : shared->GetDispEntries()) {
    std::string in, out;
    if (!wire::TypedSignatures(*entry, &in, &out)) return false;
    const std::string& in_s = cls->strings.emplace_back(in);
    const std::string& out_s = cls->strings.emplace_back(out);
    sd_bus_vtable method;
    std::memset(&method, 0, sizeof method);
    method.type = _SD_BUS_VTABLE_METHOD;
    method.flags = SD_BUS_VTABLE_UNPRIVILEGED;
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

[[noreturn]] void Refuse(const std::string& what) { throw std::runtime_error(what); }

}  // namespace

// ---- ClassRegistration ---------------------------------------------------------------------------------

ClassRegistration::ClassRegistration(Runtime& runtime, COleObjectFactory& factory)
    : state_(std::make_unique<State>()) {
  State* cls = state_.get();
  cls->runtime = &runtime;
  cls->factory = &factory;
  cls->progid = AfxToUtf8(factory.GetProgID());
  cls->path = ClassObjectPath(cls->progid);
  cls->clsid = AfxToUtf8(StringFromCLSID(factory.GetClassID()));
  if (!sd_bus_service_name_is_valid(cls->progid.c_str()) ||
      !sd_bus_interface_name_is_valid(cls->progid.c_str()) ||
      !sd_bus_object_path_is_valid(cls->path.c_str())) {
    Refuse("the programmatic identifier is no bus name: " + cls->progid);
  }
  // From here on a failure unwinds through state_: its slots go, then the shared instance is released.
  cls->shared = std::make_unique<SharedInstance>(runtime, factory);
  cls->class_object.cls = cls;
  cls->class_object.target = cls->shared->target();
  if (!BuildTypedVtable(cls, cls->shared->target())) Refuse("a member has a type without a wire form");
  sd_bus* bus = runtime.bus.get();
  const char* path = cls->path.c_str();
  // Runs one registration with a slot of its own and keeps the slot; throws when the bus refuses.
  auto add = [&](const char* what, auto&& registration) {
    sd_bus_slot* slot = nullptr;
    if (registration(&slot) < 0) Refuse(std::string("the bus refused ") + what);
    cls->slots.emplace_back(slot);
  };
  // All as fallbacks: sd-bus takes no mix of plain and fallback vtables on one path. The factory and the
  // events belong to the class path alone.
  add(kFactoryInterface, [&](sd_bus_slot** slot) {
    return sd_bus_add_fallback_vtable(bus, slot, path, kFactoryInterface, kClassFactoryVtable, FindClass,
                                      cls);
  });
  add(kEventsInterface, [&](sd_bus_slot** slot) {
    return sd_bus_add_fallback_vtable(bus, slot, path, kEventsInterface, kEventsVtable, FindClass, cls);
  });
  add("the typed interface", [&](sd_bus_slot** slot) {
    return sd_bus_add_fallback_vtable(bus, slot, path, cls->progid.c_str(), cls->typed_vtable.data(),
                                      FindObject, cls);
  });
  add(kDispatchInterface, [&](sd_bus_slot** slot) {
    return sd_bus_add_fallback_vtable(bus, slot, path, kDispatchInterface, kDispatchVtable, FindObject, cls);
  });
  if (cls->shared->target()->GetBatchLookups() != nullptr) {
    add(kBatchInterface, [&](sd_bus_slot** slot) {
      return sd_bus_add_fallback_vtable(bus, slot, path, kBatchInterface, kBatchVtable, FindObject, cls);
    });
  }
  add("the object enumerator",
      [&](sd_bus_slot** slot) { return sd_bus_add_node_enumerator(bus, slot, path, EnumerateObjects, cls); });
  // The name last: once a client can reach us by name, everything is in place. Queued: a second server
  // waits as standby and serves when the name passes to it.
  if (sd_bus_request_name(bus, cls->progid.c_str(), SD_BUS_NAME_QUEUE) < 0)
    Refuse("the bus refused the name");
}

ClassRegistration::~ClassRegistration() {
  State* cls = state_.get();
  cls->slots.clear();
  sd_bus* bus = cls->runtime->bus.get();
  if (bus && sd_bus_is_open(bus) > 0) sd_bus_release_name(bus, cls->progid.c_str());
  while (!cls->objects.empty()) DropObject(cls, cls->objects.begin()->first);
  cls->clients.clear();
  cls->shared.reset();
}

void ClassRegistration::EmitObjectCount() {
  if (state_->slots.empty()) return;
  sd_bus_emit_properties_changed(state_->runtime->bus.get(), state_->path.c_str(), kFactoryInterface,
                                 "ObjectCount", nullptr);
}

// ---- The factory's bus side ----------------------------------------------------------------------------

void OnLockCountChanged() {
  Runtime* runtime = RuntimeOnThisThread();
  if (runtime == nullptr || runtime->suppress_lock_signals) return;
  for (auto& [factory, registration] : runtime->classes) registration->EmitObjectCount();
}

BOOL RegisterFactory(COleObjectFactory* factory) {
  Runtime* runtime = RuntimeOnThisThread();
  if (runtime == nullptr) return FALSE;
  if (runtime->classes.count(factory)) return TRUE;
  try {
    runtime->classes.emplace(factory, std::make_unique<ClassRegistration>(*runtime, *factory));
  } catch (const std::exception&) {
    return FALSE;
  }
  return TRUE;
}

void RevokeFactory(COleObjectFactory* factory) {
  Runtime* runtime = CurrentRuntime();
  if (runtime == nullptr) return;
  // Out of the table first: the releases below change the lock count, which signals the classes left.
  auto node = runtime->classes.extract(factory);
}

bool IsFactoryRegistered(const COleObjectFactory* factory) {
  Runtime* runtime = CurrentRuntime();
  return runtime && runtime->classes.count(factory) > 0;
}

}  // namespace mivo::ole
