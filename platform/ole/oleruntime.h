// Internal to platform/ole: the bus side of the runtime, used by the factory and the lock count.
#pragma once

#include <string>

#include "platform/ole/afxdisp.h"

namespace mivo::ole {

// Tells the bus that the lock count changed (a property change signal on every registered class object);
// does nothing without a connection or on another thread.
void OnLockCountChanged();

// The bus side of COleObjectFactory::Register / Revoke / IsRegistered.
BOOL RegisterFactory(COleObjectFactory* factory);
void RevokeFactory(COleObjectFactory* factory);
bool IsFactoryRegistered(const COleObjectFactory* factory);

// "/" + progid with dots as slashes (UTF-8).
std::string ClassObjectPath(const CString& progid);

}  // namespace mivo::ole
