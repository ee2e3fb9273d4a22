#include "platform/ole/wire.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace mivo::ole::wire {
namespace {

std::string Utf8(const BSTR& value) { return value ? AfxToUtf8(*value) : std::string(); }

VARIANT ValueLess(std::uint32_t vt) {
  switch (vt) {
    case VT_EMPTY:
      return VARIANT::Empty();
    case VT_NULL:
      return VARIANT::Null();
    case VT_BSTR:
      return VARIANT::NullBstr();
    default: {
      VARIANT error;
      error.vt = VT_ERROR;
      return error;
    }
  }
}

template <class T, class Make>
int ReadAs(sd_bus_message* m, char code, VARIANT* out, Make make) {
  T value{};
  const int r = sd_bus_message_read_basic(m, code, &value);
  *out = make(value);
  return r;
}

// Reads the basic value of type `code` (the reader stands on it) into a VARIANT of the matching VARTYPE.
int ReadBasic(sd_bus_message* m, char code, VARIANT* out) {
  int r = 0;
  switch (code) {
    case 'y':
      r = ReadAs<std::uint8_t>(m, code, out, VARIANT::UI1);
      break;
    case 'n':
      r = ReadAs<std::int16_t>(m, code, out, VARIANT::I2);
      break;
    case 'q':
      r = ReadAs<std::uint16_t>(m, code, out, VARIANT::UI2);
      break;
    case 'i':
      r = ReadAs<std::int32_t>(m, code, out, VARIANT::I4);
      break;
    case 'u':
      r = ReadAs<std::uint32_t>(m, code, out, VARIANT::UI4);
      break;
    case 'x':
      r = ReadAs<std::int64_t>(m, code, out, VARIANT::I8);
      break;
    case 't':
      r = ReadAs<std::uint64_t>(m, code, out, VARIANT::UI8);
      break;
    case 'd':
      r = ReadAs<double>(m, code, out, VARIANT::R8);
      break;
    case 'b':
      r = ReadAs<int>(m, code, out, [](int v) { return VARIANT::Bool(v != 0); });
      break;
    case 's':
      r = ReadAs<const char*>(m, code, out,
                              [](const char* v) { return VARIANT::Bstr(AfxFromUtf8(v ? v : "")); });
      break;
    default:
      return -EINVAL;
  }
  // A reader at the end of its container reads nothing (0): the message has fewer values than expected.
  return r == 0 ? -ENXIO : r;
}

}  // namespace

char TypedCode(unsigned char declared) {
  if ((declared & VT_MFCBYREF) != 0) return (declared & ~VT_MFCBYREF) == VT_BSTR ? 's' : 0;
  switch (declared) {
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

bool TypedSignatures(const AFX_DISPMAP_ENTRY& entry, std::string* in, std::string* out) {
  in->clear();
  out->clear();
  std::string refs;
  for (const char* p = entry.lpvtParams; *p; ++p) {
    const auto declared = static_cast<unsigned char>(*p);
    const char code = TypedCode(declared);
    if (code == 0) return false;
    *in += code;
    if ((declared & VT_MFCBYREF) != 0) refs += code;
  }
  if (entry.vtReturn != VT_EMPTY) {
    const char code = TypedCode(static_cast<unsigned char>(entry.vtReturn));
    if (code == 0 || entry.vtReturn > 0xFF) return false;
    *out += code;
  }
  *out += refs;
  return true;
}

int AppendTyped(sd_bus_message* m, unsigned char declared, const VARIANT& value) {
  if (declared == VT_EMPTY) return 0;
  switch (TypedCode(declared)) {
    case 'n':
      return sd_bus_message_append(m, "n", static_cast<std::int16_t>(value.llVal));
    case 'i':
      return sd_bus_message_append(m, "i", static_cast<std::int32_t>(value.llVal));
    case 'b':
      return sd_bus_message_append(m, "b", value.llVal != 0 ? 1 : 0);
    case 'd':
      return sd_bus_message_append(m, "d", value.dblVal);
    case 's':
      return sd_bus_message_append(
          m, "s", ((value.vt & VT_BYREF) != 0 ? AfxToUtf8(ByRefText(value)) : Utf8(value.bstrVal)).c_str());
    default:
      return -EINVAL;
  }
}

int ReadTyped(sd_bus_message* m, unsigned char declared, VARIANT* out) {
  const char code = TypedCode(declared);
  if (code == 0) return -EINVAL;
  const int r = ReadBasic(m, code, out);
  if (r >= 0 && declared == VT_DATE) *out = VARIANT::Date(out->dblVal);
  return r;
}

int AppendVariant(sd_bus_message* m, const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR:
      return sd_bus_message_append(m, "v", "(u)", static_cast<std::uint32_t>(v.vt));
    case VT_UI1:
      return sd_bus_message_append(m, "v", "y", static_cast<std::uint8_t>(v.ullVal));
    case VT_I1:
    case VT_I2:
      return sd_bus_message_append(m, "v", "n", static_cast<std::int16_t>(v.llVal));
    case VT_UI2:
      return sd_bus_message_append(m, "v", "q", static_cast<std::uint16_t>(v.ullVal));
    case VT_I4:
      return sd_bus_message_append(m, "v", "i", static_cast<std::int32_t>(v.llVal));
    case VT_UI4:
      return sd_bus_message_append(m, "v", "u", static_cast<std::uint32_t>(v.ullVal));
    case VT_I8:
      return sd_bus_message_append(m, "v", "x", static_cast<std::int64_t>(v.llVal));
    case VT_UI8:
      return sd_bus_message_append(m, "v", "t", static_cast<std::uint64_t>(v.ullVal));
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return sd_bus_message_append(m, "v", "d", v.dblVal);
    case VT_BOOL:
      return sd_bus_message_append(m, "v", "b", v.llVal != 0 ? 1 : 0);
    case VT_BSTR:
      if (!v.bstrVal) return sd_bus_message_append(m, "v", "(u)", static_cast<std::uint32_t>(VT_BSTR));
      return sd_bus_message_append(m, "v", "s", AfxToUtf8(*v.bstrVal).c_str());
    case VT_BSTR | VT_BYREF:
      return sd_bus_message_append(m, "v", "(s)", AfxToUtf8(ByRefText(v)).c_str());
    default:
      return -EINVAL;
  }
}

int ReadVariant(sd_bus_message* m, VARIANT* out, std::deque<BSTR>* by_ref) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r <= 0) return r == 0 ? -ENXIO : r;
  if (type != 'v' || contents == nullptr) return -EBADMSG;
  const std::string inner = contents;
  if (inner.size() == 1 && std::strchr("ynqiuxtdbs", inner[0])) {
    r = sd_bus_message_enter_container(m, 'v', contents);
    if (r < 0) return r;
    r = ReadBasic(m, inner[0], out);
    if (r < 0) return r;
    r = sd_bus_message_exit_container(m);
    return r < 0 ? r : 1;
  }
  if (inner == "(u)") {
    std::uint32_t vt = 0;
    r = sd_bus_message_read(m, "v", "(u)", &vt);
    if (r < 0) return r;
    *out = ValueLess(vt);
    return 1;
  }
  if (inner == "(s)") {
    const char* v = nullptr;
    r = sd_bus_message_read(m, "v", "(s)", &v);
    if (r < 0) return r;
    CString text = AfxFromUtf8(v ? v : "");
    if (by_ref == nullptr) {
      *out = VARIANT::Bstr(std::move(text));
    } else {
      by_ref->emplace_back(std::move(text));
      *out = VARIANT::ByRefBstr(&by_ref->back());
    }
    return 1;
  }
  r = sd_bus_message_skip(m, "v");
  if (r < 0) return r;
  *out = ValueLess(VT_ERROR);
  return 0;
}

CString ByRefText(const VARIANT& value) {
  return value.pbstrVal && *value.pbstrVal ? **value.pbstrVal : CString();
}

}  // namespace mivo::ole::wire
