// Change events under COM: the Windows build keeps the ten methods only and sends no change events.
#include "platform/ole/afxdisp.h"

void AfxOleLanguageChanged(short) {}
void AfxOleConfigChanged(const CString&, const CString&, const CString&) {}
void AfxOleReloaded(const char*) {}
