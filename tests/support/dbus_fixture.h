// A private D-Bus session bus for tests: a dbus-daemon of its own, with its own configuration in a fresh
// temporary folder whose service folder (for activation files) starts empty.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "support/TestEnv.h"

namespace mivo::test {

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus();  // stops the daemon; the folder goes with the object
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Creates a fresh TempDir (other users can reach the socket in it; the folder of an earlier start goes)
  // and starts `dbus-daemon --config-file=... --nofork --print-address`; returns once the daemon has
  // printed its address. False, with a reason in *error, when it cannot start.
  bool Start(std::string* error = nullptr);
  // Before Start: whether users other than the daemon's own may connect (default true, so that tests can
  // run clients as another user). False gives the stock session bus rule: only the daemon's user.
  void SetOtherUsersAllowed(bool allowed) { other_users_allowed_ = allowed; }
  // Ends the daemon (SIGTERM) and waits for it; clients lose their connection. The folder stays until
  // destruction or the next Start.
  void Stop();
  // Makes the daemon read its configuration and service folder again (SIGHUP; it happens asynchronously).
  void Reload();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& address() const { return address_; }                       // "unix:path=...,guid=..."
  const std::string& directory() const { return dir_ ? dir_->path() : none_; }  // the temporary folder
  const std::string& service_dir() const { return service_dir_; }  // <servicedir> of the configuration

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::unique_ptr<TempDir> dir_;
  const std::string none_;
  std::string service_dir_;
  bool other_users_allowed_ = true;
};

// A GoogleTest fixture with a PrivateBus per test. For the test's duration DBUS_SESSION_BUS_ADDRESS names
// the private bus and DBUS_STARTER_ADDRESS / DBUS_STARTER_BUS_TYPE are unset; TearDown restores them.
class DbusTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  PrivateBus bus_;

 private:
  ScopedEnv env_;
};

}  // namespace mivo::test
