// Internal to platform/ole: what the platform-neutral parts (cmdtarget.cpp, factory.cpp, registration.cpp)
// ask of the runtime of the platform they are built for (the bus runtime, or COM in win/). Standard C++
// and the runtime's own types only.
#pragma once

#include <string>

#include "platform/ole/afxdisp.h"

namespace mivo::ole {

// Tells the runtime that the lock count changed; does nothing without a runtime or on another thread.
void OnLockCountChanged();
// Offers a factory's class to the clients of the platform; FALSE when it cannot (a factory already offered
// counts as success).
BOOL RegisterFactory(COleObjectFactory* factory);
// Withdraws a factory's class; nothing when it is not offered.
void RevokeFactory(COleObjectFactory* factory);
bool IsFactoryRegistered(const COleObjectFactory* factory);

// The platform's part of COleObjectFactory::UpdateRegistry, after the class entries were written
// (bRegister) or removed: `exe` is the executable's path (UTF-8), `class_entries_ok` whether every class
// entry was written or removed. The result is UpdateRegistry's.
bool UpdateActivation(const COleObjectFactory& factory, const std::string& exe, bool bRegister,
                      bool class_entries_ok);

}  // namespace mivo::ole
