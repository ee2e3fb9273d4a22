// A private D-Bus session bus for tests: a dbus-daemon of its own, with its own configuration in a fresh
// temporary folder whose service folder (for activation files) starts empty.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

namespace mivo::test {

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus();  // stops the daemon and removes the folder
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Creates the folder (mode 0755, so that other users can reach the socket) and starts
  // `dbus-daemon --config-file=... --nofork --print-address`; returns once the daemon has printed its
  // address. False, with a reason in *error, when it cannot start.
  bool Start(std::string* error = nullptr);
  // Before Start: whether users other than the daemon's own may connect (default true, so that tests can
  // run clients as another user). False gives the stock session bus rule: only the daemon's user.
  void SetOtherUsersAllowed(bool allowed) { other_users_allowed_ = allowed; }
  // Ends the daemon (SIGTERM) and waits for it; clients lose their connection. The folder stays until
  // destruction.
  void Stop();
  // Makes the daemon read its configuration and service folder again (SIGHUP; it happens asynchronously).
  void Reload();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& address() const { return address_; }       // "unix:path=...,guid=..."
  const std::string& directory() const { return directory_; }   // the temporary folder
  const std::string& service_dir() const { return service_dir_; }  // <servicedir> of the configuration

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::string directory_;
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
  struct Saved {
    bool set = false;
    std::string value;
  };
  Saved saved_session_, saved_starter_, saved_starter_type_;
};

// Removes a folder and everything below it (best effort).
void RemoveTree(const std::string& path);

}  // namespace mivo::test
