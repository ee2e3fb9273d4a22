// End-to-end round trips over a private bus: GetLanguageString of the real server (started by bus
// activation) from one client and from four clients at once, each client a thread with its own
// connection, beside a minimal sd-bus echo server (the same method shape: two strings in, one string out)
// on the same bus in the same run. Prints p50, p99 and calls per second for both, and their ratios.
//
//   bench_bus [--calls N] [--server PATH]
//     --calls N      round trips per client (default 20000)
//     --server PATH  the server executable (default: app/mivodb of this build)
//   bench_bus --echo-server ADDRESS   (internal: the echo server's own process)
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_data.h"
#include "platform/win32/winreg.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kEchoName = "Mivo.Bench.Echo";
constexpr const char* kEchoPath = "/Mivo/Bench/Echo";
constexpr const char* kEchoInterface = "Mivo.Bench.Echo";
constexpr const char* kServerName = "Mivo.DataBase.OLEServer";
constexpr const char* kServerPath = "/Mivo/DataBase/OLEServer";
constexpr int kTexts = 10000;

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;
struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;
struct SlotDeleter {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotDeleter>;

// A failure of the run; main reports it after the run's processes and files are gone.
[[noreturn]] void Die(const std::string& what) { throw std::runtime_error(what); }

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

// ---- The echo server: Echo(s module, s key) -> s, returning the key, as a lookup that finds nothing does.

int OnEcho(sd_bus_message* m, void* /*userdata*/, sd_bus_error* /*error*/) {
  const char* module = nullptr;
  const char* key = nullptr;
  const int r = sd_bus_message_read(m, "ss", &module, &key);
  if (r < 0) return r;
  return sd_bus_reply_method_return(m, "s", key);
}

const sd_bus_vtable kEchoVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Echo", "ss", "s", OnEcho, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

int RunEchoServer(const std::string& address) {
  sigset_t ends;
  sigemptyset(&ends);
  sigaddset(&ends, SIGTERM);
  sigaddset(&ends, SIGINT);
  sigprocmask(SIG_BLOCK, &ends, nullptr);
  BusPtr bus = Connect(address);
  sd_bus_slot* raw = nullptr;
  if (sd_bus_add_object_vtable(bus.get(), &raw, kEchoPath, kEchoInterface, kEchoVtable, nullptr) < 0) {
    Die("echo vtable");
  }
  SlotPtr slot(raw);
  if (sd_bus_request_name(bus.get(), kEchoName, 0) < 0) Die("echo name");
  for (;;) {
    timespec zero{0, 0};
    if (sigtimedwait(&ends, nullptr, &zero) > 0) return 0;
    const int r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) return 0;  // the bus went away
    if (r > 0) continue;
    if (sd_bus_wait(bus.get(), 100000) < 0) return 0;
  }
}

// ---- Processes of the run ----

struct Process {
  pid_t pid = -1;
  ~Process() { Stop(); }
  void Stop() {
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
};

pid_t Spawn(const std::vector<std::string>& argv, int out_fd = -1) {
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

// Starts a dbus-daemon whose <servicedir> is `services`; returns its address.
std::string StartDaemon(const std::string& dir, const std::string& services, Process* daemon) {
  const std::string config = dir + "/bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>session</type><listen>unix:path="
      << dir << "/bus</listen><auth>EXTERNAL</auth><servicedir>" << services
      << "</servicedir><policy context=\"default\"><allow user=\"*\"/>"
         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
         "<allow own=\"*\"/></policy><limit name=\"max_replies_per_connection\">100000</limit>"
         "</busconfig>\n";
  int fds[2];
  if (pipe(fds) != 0) Die("pipe");
  daemon->pid = Spawn(
      {"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=3"}, fds[1]);
  close(fds[1]);
  std::string line;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  close(fds[0]);
  if (line.empty()) Die("dbus-daemon printed no address");
  return line;
}

void SetString(HKEY root, const char16_t* key, const char16_t* name, const std::string& value) {
  HKEY h = nullptr;
  if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS) {
    Die("registry");
  }
  const std::u16string data = std::u16string(value.begin(), value.end()) + u'\0';
  RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                 static_cast<DWORD>(data.size() * 2));
  RegCloseKey(h);
}

void SetDword(HKEY root, const char16_t* key, const char16_t* name, DWORD value) {
  HKEY h = nullptr;
  if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS) {
    Die("registry");
  }
  RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  RegCloseKey(h);
}

// ---- Measuring ----

struct Target {
  const char* label;
  const char* destination;
  const char* path;
  const char* interface;
  const char* member;
};

const Target kServer = {"mivodb GetLanguageString", kServerName, kServerPath, kServerName,
                        "GetLanguageString"};
const Target kEcho = {"sd-bus echo server", kEchoName, kEchoPath, kEchoInterface, "Echo"};

// One synchronous round trip: two strings in, one string out.
void RoundTrip(sd_bus* bus, const Target& t, const char* module, const char* key) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_method(bus, t.destination, t.path, t.interface, t.member, &error, &reply, "ss",
                                   module, key);
  if (r < 0) Die(std::string(t.label) + ": " + (error.message ? error.message : std::strerror(-r)));
  MessagePtr owned(reply);
  const char* text = nullptr;
  if (sd_bus_message_read(reply, "s", &text) < 0 || text == nullptr)
    Die(std::string(t.label) + ": bad reply");
  sd_bus_error_free(&error);
}

struct Figures {
  double p50_us = 0, p99_us = 0, calls_per_second = 0;
};

Figures Measure(const std::string& address, const Target& t, int clients, int calls) {
  std::vector<BusPtr> buses;
  for (int i = 0; i < clients; ++i) {
    buses.push_back(Connect(address));
    for (int w = 0; w < 200; ++w) RoundTrip(buses.back().get(), t, "Module1", "IDS_MESSAGE_1");  // warm up
  }
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::vector<double>& mine = latencies[i];
      mine.reserve(calls);
      std::vector<std::string> keys;
      for (int k = 0; k < 64; ++k)
        keys.push_back("IDS_MESSAGE_" + std::to_string((i * 997 + k * 131) % kTexts + 1));
      ++ready;
      while (!go) std::this_thread::yield();
      for (int n = 0; n < calls; ++n) {
        const std::string& key = keys[n % keys.size()];
        const std::string module = "Module" + std::to_string((std::stoi(key.substr(12))) % 100);
        const auto start = Clock::now();
        RoundTrip(buses[i].get(), t, module.c_str(), key.c_str());
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
    });
  }
  while (ready < clients) std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (auto& th : threads) th.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Figures f;
  f.p50_us = all[all.size() / 2];
  f.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  f.calls_per_second = static_cast<double>(all.size()) / seconds;
  return f;
}

std::string SelfDir() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

// The folder of the run, removed with everything in it at the end.
struct TempFolder {
  std::string path = mivobench::BenchDir();
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// The server the bus started (not our child): ended with its bus, killed if it stays.
struct ActivatedServer {
  pid_t pid = -1;
  ~ActivatedServer() {
    if (pid <= 0) return;
    for (int i = 0; i < 300; ++i) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      const auto paren = text.rfind(')');
      if (text.empty() || (paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z'))
        return;
      usleep(10000);
    }
    kill(pid, SIGKILL);
  }
};

bool NameHasOwner(sd_bus* bus, const char* name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int has = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", &error, &reply, "s", name) >= 0) {
    sd_bus_message_read(reply, "b", &has);
    sd_bus_message_unref(reply);
  }
  sd_bus_error_free(&error);
  return has != 0;
}

pid_t OwnerPid(sd_bus* bus, const char* name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  std::uint32_t pid = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixProcessID", &error, &reply, "s", name) >= 0) {
    sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
  }
  sd_bus_error_free(&error);
  return pid > 0 ? static_cast<pid_t>(pid) : -1;
}

int RunBench(int argc, char** argv) {
  int calls = 20000;
  std::string server = SelfDir() + "/../app/mivodb";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--calls" && i + 1 < argc) {
      calls = std::atoi(argv[++i]);
    } else if (a == "--server" && i + 1 < argc) {
      server = argv[++i];
    } else {
      std::fprintf(stderr, "usage: bench_bus [--calls N] [--server PATH]\n");
      return 2;
    }
  }
  if (calls < 100) calls = 100;
  std::error_code ec;
  server = std::filesystem::canonical(server, ec).string();
  if (ec) Die("no server executable (build the target mivodb, or pass --server)");

  // Hives, a language database and the registration, all in a temporary folder. Members end in reverse
  // order: the echo server, then the bus (the server ends with it), then the folder.
  TempFolder folder;
  const std::string& dir = folder.path;
  chmod(dir.c_str(), 0755);
  const std::string services = dir + "/services";
  std::filesystem::create_directories(services);
  setenv("MIVODB_MACHINE_HIVE", (dir + "/machine.hive").c_str(), 1);
  setenv("MIVODB_USER_HIVE", (dir + "/user.hive").c_str(), 1);
  setenv("MIVODB_DBUS_SERVICE_DIR", services.c_str(), 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  unsetenv("DBUS_STARTER_ADDRESS");
  unsetenv("DBUS_STARTER_BUS_TYPE");
  mivo::reg::ResetForTesting();
  mivobench::MakeDb(dir + "/lang.db", kTexts, 100, 0x0409);
  SetString(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\LanguageDataBase's", u"Main",
            dir + "/lang.db");
  SetDword(HKEY_CURRENT_USER, u"Software\\Mivotec\\DataBase", u"LanguageId", 0x0409);
  if (RunToEnd({server, "/RegServer"}) != 0) Die("mivodb /RegServer failed");

  ActivatedServer activated;
  Process daemon, echo;
  const std::string address = StartDaemon(dir, services, &daemon);
  echo.pid = Spawn({SelfDir() + "/bench_bus", "--echo-server", address});
  {
    BusPtr probe = Connect(address);
    RoundTrip(probe.get(), kServer, "Module1", "IDS_MESSAGE_1");  // starts the server
    activated.pid = OwnerPid(probe.get(), kServerName);
    for (int i = 0; i < 500 && !NameHasOwner(probe.get(), kEchoName); ++i) usleep(10000);
    if (!NameHasOwner(probe.get(), kEchoName)) Die("the echo server did not start");
  }

  std::printf("Round trips over a private bus, %d calls per client (two strings in, one string out)\n\n",
              calls);
  std::printf("%-26s %7s %10s %10s %14s\n", "target", "clients", "p50 us", "p99 us", "calls/s");
  struct Row {
    int clients;
    Figures server, echo;
  };
  std::vector<Row> rows;
  for (int clients : {1, 4}) {
    Row row{clients, Measure(address, kServer, clients, calls), Measure(address, kEcho, clients, calls)};
    for (const auto& [label, f] : {std::pair{kServer.label, row.server}, std::pair{kEcho.label, row.echo}}) {
      std::printf("%-26s %7d %10.1f %10.1f %14.0f\n", label, clients, f.p50_us, f.p99_us, f.calls_per_second);
    }
    rows.push_back(row);
  }
  std::printf("\nmivodb / echo:\n");
  for (const Row& r : rows) {
    std::printf("  %d client%s: p50 x%.2f, p99 x%.2f, calls/s x%.2f\n", r.clients, r.clients == 1 ? " " : "s",
                r.server.p50_us / r.echo.p50_us, r.server.p99_us / r.echo.p99_us,
                r.server.calls_per_second / r.echo.calls_per_second);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::strcmp(argv[1], "--echo-server") == 0) return RunEchoServer(argv[2]);
    return RunBench(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_bus: %s\n", e.what());
    return 1;
  }
}
