// HRESULTs to D-Bus errors: the error name from the contract, the message "0x%08X <text>".
#include <cstring>

#include "platform/ole/contract.h"
#include "platform/ole/runtime.h"

namespace mivo::ole {

int SetError(sd_bus_error* error, HRESULT hr, const std::string& text) {
  return sd_bus_error_set(error, ErrorNameOf(hr).c_str(), ErrorMessage(hr, text).c_str());
}

int SetInvokeError(sd_bus_error* error, HRESULT hr, const CCmdTarget& target, DISPID dispid,
                   std::size_t count, UINT arg, const EXCEPINFO& info) {
  const AFX_DISPMAP_ENTRY* entry = target.FindDispEntry(dispid);
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

}  // namespace mivo::ole
