// Test support (the library mivo_test_support, namespace mivo::test): temporary folders, environment
// variables, private hive files, file contents, child processes and the built programs, the registry
// through its API and SQLite files through SQLite's own API. Only the helpers that say they fail the test
// or record in it need a running GoogleTest test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/win32/winreg.h"

namespace mivo::test {

// ---- Folders, files and the environment ----

// The folder for temporary files: /tmp on Linux, the user's temporary folder on Windows.
std::string DefaultTempBase();

// A fresh folder below `base` (mode 0755, so that a child running as another user can reach it), removed
// with everything in it at destruction. Throws std::runtime_error when it cannot be made.
class TempDir {
 public:
  explicit TempDir(const std::string& base = DefaultTempBase());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets and removes environment variables for the object's lifetime: at destruction each variable it
// touched has its earlier value again, or is unset when it had none.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  void Set(const std::string& name, const std::string& value);
  void Unset(const std::string& name);
  // Gives every variable touched so far its earlier value now.
  void Restore();

 private:
  void Save(const std::string& name);
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Points both registry roots ($MIVODB_MACHINE_HIVE, $MIVODB_USER_HIVE) at hive files in a fresh temporary
// folder below `base` for the object's lifetime, at the paths `machine` and `user` relative to it. The
// files and their folders do not exist at first. The registry layer and the code-page cache read the
// variables afresh at construction, at PointAt and at destruction, which restores the variables.
// On Windows the roots of this process stand for two fresh, empty keys below the real HKEY_CURRENT_USER
// instead (RegOverridePredefKey), deleted at destruction; PointAt and Clear give new empty keys, and the
// hive paths are empty. A sandbox that cannot be set up throws std::runtime_error.
class HiveSandbox {
 public:
  explicit HiveSandbox(const std::string& machine = "machine.hive", const std::string& user = "user.hive",
                       const std::string& base = DefaultTempBase());
  ~HiveSandbox();
  HiveSandbox(const HiveSandbox&) = delete;
  HiveSandbox& operator=(const HiveSandbox&) = delete;

  // Points both roots at new files machine.hive and user.hive in `folder`.
  void PointAt(const std::string& folder);
  // Deletes both hive files with their journals, so that the next call starts from empty hives.
  void Clear();

  const std::string& machineHive() const { return machine_; }
  const std::string& userHive() const { return user_; }
  const TempDir& dir() const { return dir_; }
  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  void Point(const std::string& machine, const std::string& user);
  TempDir dir_;
  ScopedEnv env_;
  std::string machine_, user_;
  std::u16string keys_;  // Windows: the key below HKEY_CURRENT_USER that holds the sandbox's keys
};

// A whole file's bytes ("" when it cannot be read); a file replaced by `bytes`.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// The seed of a fault test's random moments: $MIVODB_FAULT_SEED when set (to repeat a run), else a fresh
// one; printed ("[ SEED     ] MIVODB_FAULT_SEED=<seed>") and recorded as the test's property "seed".
unsigned FaultSeed();

CString U(const std::string& utf8);
std::string Utf8(const CString& s);

// ---- Processes and the built programs ----

// Every wait of the tests ends after this long.
inline constexpr std::chrono::seconds kWaitLimit{10};

// The build folder: $MIVODB_BIN_DIR (ctest sets it), else the nearest folder above the running test that
// holds a CMakeCache.txt.
std::string BinDir();
std::string ServerPath();  // the absolute, canonical path of the server executable
std::string ToolPath();    // mivoctl

// Changes to the environment of a child process: a value sets a variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct ProcessResult {
  bool started = false;
  bool timed_out = false;  // still running at the limit; it was killed
  bool exited = false;     // ended by itself with exit code `code`
  int code = -1;
  int signal = 0;  // the signal that ended it, if any
  std::string out, err;
};

// A child process with its stdout and stderr captured. The destructor kills a child that still runs and
// waits for it.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv[0] (a path) with the current environment changed by `env` and `input` on its stdin. False
  // when it cannot.
  bool Start(const std::vector<std::string>& argv, const EnvChanges& env = {}, const std::string& input = "");
  // Waits for the end, at most `limit`; on timeout the child is killed and the result says so.
  ProcessResult Wait(std::chrono::milliseconds limit = kWaitLimit);
  // Sends a signal to a running child.
  void Signal(int sig);
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

 private:
  void Drain(int timeout_ms);
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  ProcessResult result_;
};

// Runs a program to its end (bounded by `limit`).
ProcessResult RunProgram(const std::vector<std::string>& argv, const EnvChanges& env = {},
                         std::chrono::milliseconds limit = kWaitLimit, const std::string& input = "");
// Runs `mivoctl ARGS...` to its end (bounded by 5 minutes) with `input` on its stdin, through `prefix`
// (e.g. setpriv and its arguments) when given.
ProcessResult RunTool(const std::vector<std::string>& args, const std::string& input = "",
                      const std::vector<std::string>& prefix = {});

// A forked child of this process that reports in lines through a descriptor.
struct ForkRun {
  int exit_code = -1;              // 128 + the signal when a signal ended it
  std::vector<std::string> notes;  // the lines it wrote
};

// Runs `body(fd)` in a forked child whose exit code is body's result, and collects the lines it writes to
// fd; `on_note(line, pid)` runs in this process for each line as it arrives.
ForkRun RunForked(const std::function<int(int fd)>& body,
                  const std::function<void(const std::string& note, pid_t pid)>& on_note = {});
// Writes `text` and a line break to fd (what a child of RunForked reports).
void WriteNote(int fd, const std::string& text);

// ---- The registry, through its API ----

// The owning key of the registry layer.
using RegKey = mivo::reg::UniqueKey;

// The bytes of a text as UTF-16 code units, with its terminator (SzBytes) or without (Utf16).
std::string SzBytes(const std::u16string& text);
std::string Utf16(const std::u16string& text);

struct RegValue {
  LSTATUS status = 0;
  DWORD type = 0;
  std::string bytes;
};

LSTATUS SetBytes(HKEY key, const char16_t* name, DWORD type, const std::string& bytes);
LSTATUS SetSz(HKEY key, const char16_t* name, const std::u16string& text);
LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value);
// Reads a value through a size query and a read into a buffer of exactly that size.
RegValue ReadValue(HKEY key, const char16_t* name);
// The names of a key's values and subkeys in enumeration order.
std::vector<std::u16string> ValueNames(HKEY key);
std::vector<std::u16string> SubkeyNames(HKEY key);

// The same by path below a root: reading opens the key for reading (a key that does not open has no
// values); writing creates it.
RegValue ReadValue(HKEY root, const char16_t* path, const char16_t* name);
LSTATUS SetValue(HKEY root, const char16_t* path, const char16_t* name, DWORD type, const std::string& bytes);
std::vector<std::u16string> ValueNames(HKEY root, const char16_t* path);
bool KeyExists(HKEY root, const char16_t* path);

// UTF-8 forms on HKEY_LOCAL_MACHINE (`machine`) or HKEY_CURRENT_USER; the setters fail the test on an
// error, the getters are false for a missing value or one of another type.
void SetRegString(bool machine, const std::string& key, const std::string& name, const std::string& value,
                  unsigned type = REG_SZ);
void SetRegDword(bool machine, const std::string& key, const std::string& name, unsigned value);
bool GetRegString(bool machine, const std::string& key, const std::string& name, std::string& value);
bool GetRegDword(bool machine, const std::string& key, const std::string& name, unsigned& value);

// ---- SQLite files, through SQLite's own API ----

// Runs SQL on a file, creating the file when missing: SqlError gives SQLite's message ("" on success),
// ExecSql fails the test on an error.
std::string SqlError(const std::string& file, const std::string& sql);
void ExecSql(const std::string& file, const std::string& sql);
// The first column of every row of a query, as text ("NULL" for SQL NULL), `bind` filling its one
// parameter when given; a query that cannot run fails the test. The file is opened for writing where it
// may be, so that a transaction a killed writer left behind is rolled back first, as the next user of the
// file would do; a locked file is waited for (5 s). QueryText is the first row's ("<none>" without a row).
std::vector<std::string> QueryColumn(const std::string& file, const std::string& sql,
                                     const std::optional<std::string>& bind = std::nullopt);
std::string QueryText(const std::string& file, const std::string& sql);

struct Text {
  std::string module, key;
  int language;
  std::string text;  // UTF-8; stored as given
};

// The stored query OfferKeyStrings of the standard layout (the texts of :LanguageParameter in item order,
// without user-defined items when :UserFlag is 0), written out here independently of the code under test.
extern const char* const kOfferKeyStringsSql;

// A database in the standard layout: Items, Messages, Languages (the flagged languages active) and
// StoredQueries with OfferKeyStrings. `idType` is the declared type of the language-id columns.
void MakeStandardDb(const std::string& file, const std::vector<int>& flagged = {},
                    const std::vector<Text>& texts = {}, const std::string& idType = "INTEGER");

}  // namespace mivo::test
