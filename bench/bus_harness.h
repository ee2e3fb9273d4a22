// What the programs that drive the real server over D-Bus share: a temporary folder with hives and
// databases, a private dbus-daemon whose service folder holds the server's activation file, the server
// started by bus activation, its process id from the bus and its resident size.
//
// Every failure of the run is a std::runtime_error (Die); the objects below undo what they set up when
// they end, so a program reports the failure after its processes and files are gone.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/winreg.h"
#include "support/TestEnv.h"

struct sd_bus;

namespace mivobench {

// Throws std::runtime_error(what).
[[noreturn]] void Die(const std::string& what);

// ---- Connections ----

struct BusCloser {
  void operator()(sd_bus* bus) const;
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

// A new client connection to the bus at `address` ("unix:path=..."); dies when it cannot connect.
BusPtr Connect(const std::string& address);
// Whether someone owns `name` on the bus; false also when the bus cannot be asked.
bool NameHasOwner(sd_bus* bus, const char* name);
// The process id of the owner of `name` (org.freedesktop.DBus.GetConnectionUnixProcessID); -1 when nobody
// owns it or the bus cannot be asked.
pid_t OwnerPid(sd_bus* bus, const char* name);

// ---- Processes ----

// A child process of this one. Stop (and the destructor) sends SIGTERM, waits up to 2 s, then kills it;
// it does nothing when there is no process.
struct Process {
  pid_t pid = -1;
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() { Stop(); }
  void Stop();
};

// Starts argv[0] (a path, else a name looked up in PATH) with argv; `out_fd`, when given, becomes the
// child's descriptor 3. The child gets SIGTERM when this process ends. Dies when fork fails; a program
// that cannot be started exits with 127.
pid_t Spawn(const std::vector<std::string>& argv, int out_fd = -1);
// Spawns argv and waits for it; its exit code, or -1 when it did not exit normally.
int RunToEnd(const std::vector<std::string>& argv);

// The folder of the running executable.
std::string SelfDir();
// The canonical path of the server executable: `given`, or app/mivodb of this build when `given` is empty.
// Dies when there is no such file.
std::string FindServer(const std::string& given);

// The resident set size (VmRSS of /proc/<pid>/status) in KiB; -1 when it cannot be read.
long ResidentKiB(pid_t pid);

// ---- Settings and databases ----

// Creates `key` below `root` when missing and sets a REG_SZ / REG_DWORD value in it; dies on failure.
void SetRegString(HKEY root, const char16_t* key, const char16_t* name, const CString& value);
void SetRegDword(HKEY root, const char16_t* key, const char16_t* name, DWORD value);

// One row of a database as it is stored: the item (module, key, user-defined flag) and its text in one
// language.
struct StoredText {
  CString module;
  CString key;
  int language = 0;
  CString text;
  bool userDefined = false;
};

// Creates `file` in the standard layout with `flaggedLanguages` (99 is always flagged) and stores `texts`:
// the rows of one module and key make one item, the items in the order of their first row, each text as
// given (no code-page conversion). Dies when the file exists or cannot be written.
void WriteDatabase(const std::string& file, const std::vector<int>& flaggedLanguages,
                   const std::vector<StoredText>& texts);
// Every text of `language` in `file`, read straight from its tables (not through the server), in item
// order, one row per message; a NULL text reads as empty. Dies when the file cannot be read.
std::vector<StoredText> ReadDatabase(const std::string& file, int language);

// ---- The run ----

// A run of the server on a private bus. Construction makes the temporary folder (a HiveSandbox, with a
// service folder) and points the hives, the activation-file folder and the locale (C.UTF-8) of this
// process, and so of the bus and the server it starts, at it. The destructor ends the bus (the server
// ends with it, and is killed when it stays longer than 3 s), gives the variables their earlier values
// and removes the folder with everything in it.
class BusRun {
 public:
  BusRun();
  ~BusRun();
  BusRun(const BusRun&) = delete;
  BusRun& operator=(const BusRun&) = delete;

  const std::string& dir() const { return hives_.dir().path(); }
  // A path inside the folder.
  std::string Path(const std::string& name) const { return hives_.File(name); }

  // Runs `server /RegServer`, which writes the activation file and the class entries; dies when it fails.
  void RegisterServer(const std::string& server);
  // Starts the dbus-daemon on a socket in the folder; returns its address. Dies when it does not start.
  const std::string& StartBus();
  const std::string& address() const { return address_; }
  // Has the bus start the service `name` by activation (StartServiceByName) and returns the pid of its
  // owner. Dies when it cannot be started. The server's pid is remembered for the end of the run.
  pid_t StartServer(const char* name);
  pid_t server_pid() const { return server_pid_; }

 private:
  void AwaitServerEnd();

  mivo::test::HiveSandbox hives_;  // the folder, with the hive files
  mivo::test::ScopedEnv env_;
  std::string address_;
  Process daemon_;
  pid_t server_pid_ = -1;
};

}  // namespace mivobench
