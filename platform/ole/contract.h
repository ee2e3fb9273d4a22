// The automation runtime's names on the bus, stated once: the interfaces every class object and
// automation object answers, the error names and messages, and the rules that turn a programmatic
// identifier into object paths. The server, the client, the tools and the tests take them from here;
// what the application names (its programmatic identifier, which is also its bus name and the interface
// of its typed methods) lives with the application.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32/wtypes.h"

namespace mivo::ole {

// The class object's factory: CreateInstance() -> o; properties ObjectCount (u) and ClassId (s).
inline constexpr char kFactoryInterface[] = "Mivo.DataBase.ClassFactory";
// Late binding: GetIDsOfNames(as) -> ai, Invoke(i, av) -> (v, av), Release().
inline constexpr char kDispatchInterface[] = "Mivo.DataBase.Dispatch";
// Signals broadcast on the class object's path: Message(s title, s text).
inline constexpr char kEventsInterface[] = "Mivo.DataBase.Events";
inline constexpr char kMessageSignal[] = "Message";
// Change signals on the same interface and path, each sent before the reply of the call that caused it:
// LanguageChanged(n language), ConfigChanged(s module, s key, s value), Reloaded(s store).
inline constexpr char kLanguageChangedSignal[] = "LanguageChanged";
inline constexpr char kConfigChangedSignal[] = "ConfigChanged";
inline constexpr char kReloadedSignal[] = "Reloaded";
// Look-ups many at a time, on the class object and every automation object of a class that offers them:
// GetLanguageStrings(a(ss)) -> a(bs), GetConfigStrings(a(ss)) -> a(bs),
// ExplainLanguageString(s module, s key) -> (s text, s source, n language); property Language (n, the
// current language id, read-only).
inline constexpr char kBatchInterface[] = "Mivo.DataBase.Batch";
// The most items one batch call takes; a longer batch is refused with E_INVALIDARG (InvalidArgument).
inline constexpr std::size_t kMaxBatchItems = 100000;
// Every refused call is a D-Bus error of this prefix and a short name (see ErrorName).
inline constexpr char kErrorPrefix[] = "Mivo.DataBase.Error.";

// The short error name of an HRESULT: UnknownName, MemberNotFound, BadParamCount, TypeMismatch, Overflow,
// Exception, BadVarType, InvalidArgument (E_INVALIDARG); any other HRESULT is "Failed".
const char* ErrorName(HRESULT hr);
// The whole D-Bus error name of an HRESULT: kErrorPrefix + ErrorName(hr).
std::string ErrorNameOf(HRESULT hr);
// An error message: the HRESULT as "0x" and eight upper-case hexadecimal digits, a space, then `text`.
std::string ErrorMessage(HRESULT hr, std::string_view text);
// The HRESULT at the start of an error message ("0x80020005 ..."), or 0 when the message does not start
// with one (ten characters followed by the end or a space).
HRESULT ErrorMessageHResult(std::string_view message);

// The class object's path of a programmatic identifier: "/" + the identifier with dots as slashes
// ("Mivo.DataBase.OLEServer" -> "/Mivo/DataBase/OLEServer"). Usable at compile time:
//   constexpr auto kPath = ClassObjectPathOf("A.B");  // kPath.data() is "/A/B"
template <std::size_t N>
constexpr std::array<char, N + 1> ClassObjectPathOf(const char (&progid)[N]) {
  std::array<char, N + 1> path{};
  path[0] = '/';
  for (std::size_t i = 0; i + 1 < N; ++i) path[i + 1] = progid[i] == '.' ? '/' : progid[i];
  return path;
}
std::string ClassObjectPath(std::string_view progid);
// The path of automation object number `id` (1, 2, ...) below a class object's path.
std::string ObjectPath(std::string_view class_path, std::uint64_t id);
// The number of an automation object's path below `class_path`: nullopt for the class path itself and
// for any path that is not "<class_path>/<n>" with n a decimal number without leading zero.
std::optional<std::uint64_t> ObjectId(std::string_view path, std::string_view class_path);

}  // namespace mivo::ole
