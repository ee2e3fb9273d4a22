// Change events under COM: the Windows build keeps the ten methods only and sends no change events.
#include "platform/ole/afxdisp.h"

void AfxOleLanguageChanged(short) {}
void AfxOleConfigChanged(const CString&, const CString&, const CString&) {}
void AfxOleReloaded(const char*) {}

// Under COM nothing watches descriptors or sets timers: no engine of the Windows build has a change feed.
std::unique_ptr<CLoopWatch> AfxOleWatchDescriptor(int, std::function<void()>) { return nullptr; }
std::unique_ptr<CLoopWatch> AfxOleSetTimer(unsigned, std::function<void()>) { return nullptr; }
