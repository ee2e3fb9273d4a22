// End-to-end round trips over a private bus: GetLanguageString of the real server (started by bus
// activation) from 1, 4 and 16 clients at once, each client a thread with its own
// connection, beside a minimal sd-bus echo server (the same method shape: two strings in, one string out)
// on the same bus in the same run. Prints p50, p99 and calls per second for both, and their ratios.
//
//   bench_bus [--calls N] [--server PATH]
//     --calls N      round trips per client (default 20000)
//     --server PATH  the server executable (default: app/mivodb of this build)
//   bench_bus --echo-server ADDRESS   (internal: the echo server's own process)
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_data.h"
#include "bench/bus_harness.h"
#include "platform/afx/afx.h"

namespace {

using mivobench::BusPtr;
using mivobench::Die;
using Clock = std::chrono::steady_clock;

constexpr const char* kEchoName = "Mivo.Bench.Echo";
constexpr const char* kEchoPath = "/Mivo/Bench/Echo";
constexpr const char* kEchoInterface = "Mivo.Bench.Echo";
constexpr const char* kServerName = "Mivo.DataBase.OLEServer";
constexpr const char* kServerPath = "/Mivo/DataBase/OLEServer";
constexpr int kTexts = 10000;

struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;
struct SlotDeleter {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotDeleter>;

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
  BusPtr bus = mivobench::Connect(address);
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
    buses.push_back(mivobench::Connect(address));
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

int RunBench(int argc, char** argv) {
  int calls = 20000;
  std::string server;
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
  server = mivobench::FindServer(server);

  // Hives, a language database and the registration, all in the run's folder. The echo server ends
  // before the run, which ends the bus (the server ends with it) and removes the folder.
  mivobench::BusRun run;
  mivobench::MakeDb(run.Path("lang.db"), kTexts, 100, 0x0409);
  mivobench::SetRegString(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\LanguageDataBase's", u"Main",
                          AfxFromUtf8(run.Path("lang.db")));
  mivobench::SetRegDword(HKEY_CURRENT_USER, u"Software\\Mivotec\\DataBase", u"LanguageId", 0x0409);
  run.RegisterServer(server);
  const std::string address = run.StartBus();
  mivobench::Process echo;
  echo.pid = mivobench::Spawn({mivobench::SelfDir() + "/bench_bus", "--echo-server", address});
  run.StartServer(kServerName);
  {
    BusPtr probe = mivobench::Connect(address);
    for (int i = 0; i < 500 && !mivobench::NameHasOwner(probe.get(), kEchoName); ++i) usleep(10000);
    if (!mivobench::NameHasOwner(probe.get(), kEchoName)) Die("the echo server did not start");
  }

  std::printf("Round trips over a private bus, %d calls per client (two strings in, one string out)\n\n",
              calls);
  std::printf("%-26s %7s %10s %10s %14s\n", "target", "clients", "p50 us", "p99 us", "calls/s");
  struct Row {
    int clients;
    Figures server, echo;
  };
  std::vector<Row> rows;
  for (int clients : {1, 4, 16}) {
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
