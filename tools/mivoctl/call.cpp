// mivoctl call: one late-bound call of the MivoDB server on the session bus.
#include <charconv>
#include <cmath>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/Constants.h"
#include "platform/ole/client.h"
#include "tools/mivoctl/mivoctl.h"

namespace mivoctl {
namespace {

constexpr const char* kUsage =
    "Usage: mivoctl call [--object PATH] [--timeout SECONDS] METHOD [ARGS...]\n"
    "Calls METHOD of the MivoDB server (Mivo.DataBase.OLEServer) on the session bus through\n"
    "Mivo.DataBase.Dispatch: GetIDsOfNames for the name (any letter case), then Invoke with ARGS in\n"
    "declaration order. A METHOD that is a number is used as the DISPID without asking for names.\n"
    "The bus starts the server when it is not running (bus activation).\n"
    "\n"
    "Prints the result on stdout, then the final value of each by-reference argument, one per line.\n"
    "Message signals the server broadcasts during the call are printed on stderr as 'title: text'.\n"
    "\n"
    "Options:\n"
    "  --object PATH      the object to call (default /Mivo/DataBase/OLEServer, the class object)\n"
    "  --timeout SECONDS  how long to wait for the reply (default 25)\n"
    "  -h, --help         this text\n"
    "Options come before METHOD; '--' ends them.\n"
    "\n"
    "Arguments (a plain word is a string, BSTR):\n"
    "  TEXT          a string, unless it starts with one of the prefixes below\n"
    "  str:TEXT      a string (for a text that starts like a typed form)\n"
    "  ref:TEXT      a by-reference string (BSTR*); its final value is printed after the result\n"
    "  nullstr:      a null BSTR (different from the empty string '')\n"
    "  i2:N  i4:N  i8:N  ui1:N  ui2:N  ui4:N  ui8:N   integers of that size\n"
    "  r8:X          a double (1.5, -2E+3)\n"
    "  bool:true     a boolean: true, false, 1 or 0\n"
    "  date:D        a date: YYYY-MM-DD, 'YYYY-MM-DD HH:MM[:SS]', HH:MM[:SS], or a day serial\n"
    "  null:         Null\n"
    "  empty:        Empty\n"
    "\n"
    "Results print as decimal numbers, true/false, the text of a string, (null), (empty).\n"
    "\n"
    "Exit codes: 0 the call succeeded; 1 the server or the bus refused it (the D-Bus error name and\n"
    "message are printed on stderr); 2 bad usage.\n"
    "\n"
    "Examples:\n"
    "  mivoctl call GetLanguageString Demo Greeting\n"
    "  mivoctl call SetLanguage i2:1049 bool:true\n"
    "  mivoctl call GetConfigString2 ref: Demo Server\n"
    "  mivoctl call 8            # GetCurCharsetCode by DISPID\n";

bool ParseTimeout(const std::string& text, double* seconds) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value) || value <= 0 ||
      value > 86400) {
    return false;
  }
  *seconds = value;
  return true;
}

// A METHOD that is all digits (with an optional minus sign) is a DISPID.
bool ParseDispid(const std::string& text, DISPID* id) {
  if (text.empty()) return false;
  std::int32_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return false;
  *id = value;
  return true;
}

int RunCall(const std::vector<std::string>& args) {
  std::string object = kClassObjectPath;
  double timeout_seconds = 25;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return kExitOk;
    }
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "--object" || a == "--timeout") {
      if (i + 1 >= args.size()) BadUsage("call: " + a + " needs a value");
      const std::string& value = args[++i];
      if (a == "--object") {
        if (value.empty() || value[0] != '/') BadUsage("call: --object takes an object path");
        object = value;
      } else if (!ParseTimeout(value, &timeout_seconds)) {
        BadUsage("call: --timeout takes a number of seconds (0 < s <= 86400)");
      }
      continue;
    }
    if (a.size() > 1 && a[0] == '-' && a[1] == '-') BadUsage("call: unknown option " + a);
    break;
  }
  if (i >= args.size()) BadUsage("call: METHOD missing (see mivoctl call --help)");
  const std::string method = args[i++];
  if (method.empty()) BadUsage("call: METHOD is empty");

  std::vector<std::unique_ptr<BSTR>> ref_storage;
  std::vector<VARIANT> call_args;
  try {
    for (; i < args.size(); ++i) call_args.push_back(mivo::ole::ParseArgumentWord(args[i], ref_storage));
  } catch (const std::invalid_argument& e) {
    BadUsage(std::string("call: ") + e.what());
  }

  try {
    auto client = std::make_unique<mivo::ole::AutomationClient>(kServiceName);
    client->SetTimeout(std::chrono::microseconds(static_cast<std::int64_t>(timeout_seconds * 1e6)));
    client->SubscribeMessages([](const CString& title, const CString& text) {
      std::cerr << AfxToUtf8(title) << ": " << AfxToUtf8(text) << std::endl;
    });
    DISPID dispid = 0;
    if (!ParseDispid(method, &dispid)) {
      const std::vector<DISPID> ids = client->GetIDsOfNames(object, {AfxFromUtf8(method)});
      if (ids.empty()) Refuse("call: the server returned no DISPID for " + method);
      dispid = ids[0];
    }
    const mivo::ole::InvokeResult result = client->Invoke(object, dispid, call_args);
    // Signals that came in with the reply.
    client->ProcessPending(std::chrono::milliseconds(0));
    std::cout << mivo::ole::FormatVariant(result.result) << "\n";
    for (const CString& ref : result.refs) std::cout << AfxToUtf8(ref) << "\n";
    std::cout.flush();
    return kExitOk;
  } catch (const mivo::ole::BusError& e) {
    Refuse(e.name() + ": " + e.message());
  }
}

const MivoctlCommand kCall({"call", "call a method of the running server (late-bound, by name)", RunCall});

}  // namespace
}  // namespace mivoctl
