#include "platform/ole/contract.h"

#include <cstdio>

#include "platform/ole/afxdisp.h"

namespace mivo::ole {

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
    case E_INVALIDARG:
      return "InvalidArgument";
    default:
      return "Failed";
  }
}

std::string ErrorNameOf(HRESULT hr) { return std::string(kErrorPrefix) + ErrorName(hr); }

std::string ErrorMessage(HRESULT hr, std::string_view text) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X ", static_cast<unsigned>(hr));
  return code + std::string(text);
}

HRESULT ErrorMessageHResult(std::string_view message) {
  if (message.size() < 10 || message[0] != '0' || (message[1] != 'x' && message[1] != 'X')) return 0;
  if (message.size() > 10 && message[10] != ' ') return 0;
  std::uint32_t value = 0;
  for (std::size_t i = 2; i < 10; ++i) {
    const char c = message[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return 0;
    }
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return static_cast<HRESULT>(value);
}

std::string ClassObjectPath(std::string_view progid) {
  std::string path = "/" + std::string(progid);
  for (char& c : path) {
    if (c == '.') c = '/';
  }
  return path;
}

std::string ObjectPath(std::string_view class_path, std::uint64_t id) {
  return std::string(class_path) + "/" + std::to_string(id);
}

std::optional<std::uint64_t> ObjectId(std::string_view path, std::string_view class_path) {
  if (path.size() <= class_path.size() + 1 || path.substr(0, class_path.size()) != class_path ||
      path[class_path.size()] != '/') {
    return std::nullopt;
  }
  const std::string_view number = path.substr(class_path.size() + 1);
  if (number[0] == '0' || number.size() > 19) return std::nullopt;
  std::uint64_t id = 0;
  for (char c : number) {
    if (c < '0' || c > '9') return std::nullopt;
    id = id * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return id;
}

}  // namespace mivo::ole
