// Windows only: redirecting the predefined registry roots of this process (RegOverridePredefKey), for the
// tests' registry sandbox. Standard C++ types only.
#pragma once

#include <string>

namespace mivo::reg {

// From now on HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER of this process stand for the keys `machine` and
// `user` below the real HKEY_CURRENT_USER (created when missing). False, with nothing redirected, when a key
// cannot be created or a root cannot be redirected.
bool RedirectRootsForTesting(const std::u16string& machine, const std::u16string& user);
// Gives both roots their own keys again.
void RestoreRootsForTesting();
// Deletes the key `path` below the real HKEY_CURRENT_USER with everything in it (after RestoreRoots). Its
// parent stays: another process may be creating its own keys below it at that moment.
void DeleteUserTreeForTesting(const std::u16string& path);

}  // namespace mivo::reg
