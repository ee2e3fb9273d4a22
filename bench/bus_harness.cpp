#include "bench/bus_harness.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/afx/afx.h"
#include "platform/dao/afxdao.h"

namespace mivobench {

void Die(const std::string& what) { throw std::runtime_error(what); }

// ---- Connections ----

void BusCloser::operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }

BusPtr Connect(const std::string& address) {
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) Die("sd_bus_new");
  BusPtr bus(raw);
  if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
      sd_bus_start(raw) < 0) {
    Die("cannot connect to " + address);
  }
  return bus;
}

namespace {

// Calls a method of the bus itself with one string argument and reads its one basic result of `type` into
// `out`; false when the call or the read fails.
bool AskBus(sd_bus* bus, const char* member, const char* name, char type, void* out) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  bool ok = false;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", member,
                         &error, &reply, "s", name) >= 0) {
    ok = sd_bus_message_read_basic(reply, type, out) > 0;
    sd_bus_message_unref(reply);
  }
  sd_bus_error_free(&error);
  return ok;
}

}  // namespace

bool NameHasOwner(sd_bus* bus, const char* name) {
  int has = 0;
  return AskBus(bus, "NameHasOwner", name, 'b', &has) && has != 0;
}

pid_t OwnerPid(sd_bus* bus, const char* name) {
  std::uint32_t pid = 0;
  if (!AskBus(bus, "GetConnectionUnixProcessID", name, 'u', &pid) || pid == 0) return -1;
  return static_cast<pid_t>(pid);
}

// ---- Processes ----

void Process::Stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

pid_t Spawn(const std::vector<std::string>& argv, int out_fd) {
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& s : copy) args.push_back(s.data());
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    if (out_fd >= 0) dup2(out_fd, 3);
    execv(args[0], args.data());
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int RunToEnd(const std::vector<std::string>& argv) {
  const pid_t pid = Spawn(argv);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SelfDir() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

std::string FindServer(const std::string& given) {
  const std::string path = given.empty() ? SelfDir() + "/../app/mivodb" : given;
  std::error_code ec;
  const std::string found = std::filesystem::canonical(path, ec).string();
  if (ec) Die("no server executable at " + path + " (build the target mivodb, or pass --server)");
  return found;
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// ---- Settings and databases ----

namespace {

void SetRegValue(HKEY root, const char16_t* key, const char16_t* name, DWORD type, const std::string& bytes) {
  if (mivo::test::SetValue(root, key, name, type, bytes) != ERROR_SUCCESS) {
    Die("cannot set the registry value " + AfxToUtf8(key) + "\\" + AfxToUtf8(name));
  }
}

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

DbPtr OpenDb(const std::string& file, int flags) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
  DbPtr db(raw);
  if (rc != SQLITE_OK) Die("cannot open the database " + file);
  return db;
}

StatementPtr Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK)
    Die(std::string("SQL: ") + sqlite3_errmsg(db));
  return StatementPtr(raw);
}

void BindText(sqlite3_stmt* s, int index, const CString& text) {
  sqlite3_bind_text16(s, index, text.data(), static_cast<int>(text.size() * sizeof(char16_t)),
                      SQLITE_TRANSIENT);
}

CString ColumnText(sqlite3_stmt* s, int column) {
  const void* p = sqlite3_column_text16(s, column);
  const int bytes = sqlite3_column_bytes16(s, column);
  if (p == nullptr) return CString();
  return CString(static_cast<const char16_t*>(p), static_cast<std::size_t>(bytes) / sizeof(char16_t));
}

void StepToDone(sqlite3* db, sqlite3_stmt* s) {
  if (sqlite3_step(s) != SQLITE_DONE) Die(std::string("SQL: ") + sqlite3_errmsg(db));
  sqlite3_reset(s);
}

}  // namespace

void SetRegString(HKEY root, const char16_t* key, const char16_t* name, const CString& value) {
  SetRegValue(root, key, name, REG_SZ, mivo::test::SzBytes(value));
}

void SetRegDword(HKEY root, const char16_t* key, const char16_t* name, DWORD value) {
  SetRegValue(root, key, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

void WriteDatabase(const std::string& file, const std::vector<int>& flaggedLanguages,
                   const std::vector<StoredText>& texts) {
  try {
    mivo::dao::CreateStandardDatabase(file, flaggedLanguages);
  } catch (const CDaoException&) {
    Die("cannot create the database " + file);
  }
  DbPtr db = OpenDb(file, SQLITE_OPEN_READWRITE);
  sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
  StatementPtr item =
      Prepare(db.get(), "INSERT INTO Items (Module, KeyString, UserDefined) VALUES (?, ?, ?)");
  StatementPtr message =
      Prepare(db.get(), "INSERT INTO Messages (ItemId, LanguageId, String) VALUES (?, ?, ?)");
  std::map<std::pair<CString, CString>, sqlite3_int64> items;
  for (const StoredText& t : texts) {
    auto [it, added] = items.try_emplace({t.module, t.key}, 0);
    if (added) {
      BindText(item.get(), 1, t.module);
      BindText(item.get(), 2, t.key);
      sqlite3_bind_int(item.get(), 3, t.userDefined ? 1 : 0);
      StepToDone(db.get(), item.get());
      it->second = sqlite3_last_insert_rowid(db.get());
    }
    sqlite3_bind_int64(message.get(), 1, it->second);
    sqlite3_bind_int(message.get(), 2, t.language);
    BindText(message.get(), 3, t.text);
    StepToDone(db.get(), message.get());
  }
  if (sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) Die("cannot write " + file);
}

std::vector<StoredText> ReadDatabase(const std::string& file, int language) {
  DbPtr db = OpenDb(file, SQLITE_OPEN_READONLY);
  StatementPtr s =
      Prepare(db.get(),
              "SELECT Items.Module, Items.KeyString, IFNULL(Items.UserDefined, 0), Messages.String "
              "FROM Items JOIN Messages ON Messages.ItemId = Items.ItemId "
              "WHERE Messages.LanguageId = ? ORDER BY Items.ItemId, Messages.rowid");
  sqlite3_bind_int(s.get(), 1, language);
  std::vector<StoredText> rows;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    rows.push_back({ColumnText(s.get(), 0), ColumnText(s.get(), 1), language, ColumnText(s.get(), 3),
                    sqlite3_column_int(s.get(), 2) != 0});
  }
  if (rc != SQLITE_DONE) Die("cannot read " + file);
  return rows;
}

// ---- The run ----

BusRun::BusRun() {
  const std::string services = Path("services");
  std::filesystem::create_directories(services);
  env_.Set("MIVODB_DBUS_SERVICE_DIR", services);
  env_.Set("LC_ALL", "C.UTF-8");
  env_.Unset("DBUS_STARTER_ADDRESS");
  env_.Unset("DBUS_STARTER_BUS_TYPE");
}

BusRun::~BusRun() {
  daemon_.Stop();
  AwaitServerEnd();
}  // then the variables come back and the folder goes

void BusRun::RegisterServer(const std::string& server) {
  if (RunToEnd({server, "/RegServer"}) != 0) Die("mivodb /RegServer failed");
}

const std::string& BusRun::StartBus() {
  const std::string config = Path("bus.conf");
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>session</type><listen>unix:path="
      << Path("bus") << "</listen><auth>EXTERNAL</auth><servicedir>" << Path("services")
      << "</servicedir><policy context=\"default\"><allow user=\"*\"/>"
         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
         "<allow own=\"*\"/></policy><limit name=\"max_replies_per_connection\">100000</limit>"
         "</busconfig>\n";
  int fds[2];
  if (pipe(fds) != 0) Die("pipe");
  daemon_.pid = Spawn(
      {"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=3"}, fds[1]);
  close(fds[1]);
  std::string line;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  close(fds[0]);
  if (line.empty()) Die("dbus-daemon printed no address");
  address_ = line;
  return address_;
}

pid_t BusRun::StartServer(const char* name) {
  BusPtr bus = Connect(address_);
  // The bus answers once the activated service owns its name (or has failed to start).
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r =
      sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "StartServiceByName", &error, &reply, "su", name, 0u);
  const std::string why = r < 0 && error.message ? error.message : "";
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  if (r < 0) Die(std::string("cannot start ") + name + ": " + why);
  server_pid_ = OwnerPid(bus.get(), name);
  if (server_pid_ <= 0) Die(std::string("no process owns ") + name);
  return server_pid_;
}

// The server the bus started is not our child: it ends with its bus, and is killed if it stays.
void BusRun::AwaitServerEnd() {
  if (server_pid_ <= 0) return;
  for (int i = 0; i < 300; ++i) {
    std::ifstream stat("/proc/" + std::to_string(server_pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    if (text.empty() || (paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z')) {
      server_pid_ = -1;
      return;
    }
    usleep(10000);
  }
  kill(server_pid_, SIGKILL);
  server_pid_ = -1;
}

}  // namespace mivobench
