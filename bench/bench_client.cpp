// What the additions beside the ten methods buy a client, over a private bus with the real server, each
// beside its baseline in the same run:
//   batch      1,000 texts in one GetLanguageStrings call, beside 1,000 single GetLanguageString calls
//   cached     a libmivodb read that hits the cache, beside the same read with the cache off (a round trip)
//   coherence  from the return of one client's SetConfigString to another client's cache holding the new
//              value, beside one round trip; and whether the other client ever saw an older value after a
//              newer one
//
//   bench_client [--rounds N] [--server PATH]
//     --rounds N     repetitions of each measurement (default 200)
//     --server PATH  the server executable (default: app/mivodb of this build)
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_data.h"
#include "bench/bus_harness.h"
#include "include/mivodb.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using mivobench::Die;
using mivobench::Percentile;

constexpr const char* kServer = "Mivo.DataBase.OLEServer";
constexpr const char* kPath = "/Mivo/DataBase/OLEServer";
constexpr int kTexts = 10000;
constexpr int kBatch = 1000;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::string Key(int i) { return "IDS_MESSAGE_" + std::to_string(i % kTexts + 1); }
std::string Module(int i) { return "Module" + std::to_string((i % kTexts + 1) % 100); }

// One GetLanguageString call on the typed interface.
void SingleCall(sd_bus* bus, int i) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus, kServer, kPath, kServer, "GetLanguageString", &error, &reply, "ss",
                         Module(i).c_str(), Key(i).c_str()) < 0) {
    Die(std::string("GetLanguageString: ") + (error.message ? error.message : "failed"));
  }
  sd_bus_message_unref(reply);
}

// One GetLanguageStrings call of `count` items starting at item `first`.
void BatchCall(sd_bus* bus, int first, int count) {
  sd_bus_message* call = nullptr;
  sd_bus_message_new_method_call(bus, &call, kServer, kPath, "Mivo.DataBase.Batch", "GetLanguageStrings");
  sd_bus_message_open_container(call, 'a', "(ss)");
  for (int i = first; i < first + count; ++i)
    sd_bus_message_append(call, "(ss)", Module(i).c_str(), Key(i).c_str());
  sd_bus_message_close_container(call);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call(bus, call, 0, &error, &reply) < 0) {
    Die(std::string("GetLanguageStrings: ") + (error.message ? error.message : "failed"));
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
}

int Run(int argc, char** argv) {
  int rounds = 200;
  std::string server;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(20, std::atoi(argv[++i]));
    } else if (a == "--server" && i + 1 < argc) {
      server = argv[++i];
    } else {
      std::fprintf(stderr, "usage: bench_client [--rounds N] [--server PATH]\n");
      return 2;
    }
  }
  server = mivobench::FindServer(server);
  mivobench::BusRun run;
  mivobench::MakeDb(run.Path("lang.db"), kTexts, 100, 0x0409);
  mivobench::MakeDb(run.Path("config.db"), 1000, 100, 0x0409);
  mivobench::SetRegString(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\LanguageDataBase's", u"Main",
                          AfxFromUtf8(run.Path("lang.db")));
  mivobench::SetRegString(HKEY_LOCAL_MACHINE, u"Software\\Mivotec\\DataBase\\ConfigDataBase's", u"Main",
                          AfxFromUtf8(run.Path("config.db")));
  mivobench::SetRegDword(HKEY_CURRENT_USER, u"Software\\Mivotec\\DataBase", u"LanguageId", 0x0409);
  run.RegisterServer(server);
  const std::string address = run.StartBus();
  run.StartServer(kServer);
  mivobench::BusPtr bus = mivobench::Connect(address);

  // Batch: texts per second of 1,000 single calls and of one call of 1,000 items.
  for (int w = 0; w < 200; ++w) SingleCall(bus.get(), w);
  const int batch_rounds = std::max(5, rounds / 20);
  auto start = Clock::now();
  for (int r = 0; r < batch_rounds; ++r) {
    for (int i = 0; i < kBatch; ++i) SingleCall(bus.get(), r * kBatch + i);
  }
  const double single_per_s =
      batch_rounds * kBatch / std::chrono::duration<double>(Clock::now() - start).count();
  start = Clock::now();
  for (int r = 0; r < batch_rounds * 4; ++r) BatchCall(bus.get(), r * kBatch, kBatch);
  const double batch_per_s =
      batch_rounds * 4 * kBatch / std::chrono::duration<double>(Clock::now() - start).count();

  // Cached and uncached reads through the library.
  mivodb::Client cached(address.c_str());
  mivodb::Client uncached(address.c_str(), MIVODB_OPEN_NO_CACHE);
  std::vector<double> hit, miss;
  for (int i = 0; i < 64; ++i) cached.GetText(Module(i), Key(i));
  for (int r = 0; r < rounds * 50; ++r) {
    const std::string module = Module(r % 64), key = Key(r % 64);
    auto t = Clock::now();
    cached.GetText(module, key);
    hit.push_back(Micros(Clock::now() - t));
    if (r % 50 == 0) {
      t = Clock::now();
      uncached.GetText(module, key);
      miss.push_back(Micros(Clock::now() - t));
    }
  }

  // Coherence: a writer sets increasing values; the reader's change callback, which runs once its cache
  // holds the new value, notes when each arrives; a reader thread checks that no read goes back.
  mivodb::Client writer(address.c_str());
  mivodb::Client reader(address.c_str());
  const std::string module = Module(7), key = Key(7);
  writer.SetConfig(module, key, "0");
  while (reader.GetConfig(module, key).text != "0") std::this_thread::yield();
  std::vector<Clock::time_point> written(rounds + 1), seen(rounds + 1);
  reader.OnChange([&](const mivodb_change& c) {
    if (c.kind != MIVODB_CONFIG_CHANGED || key != c.key) return;
    const int v = std::atoi(c.value);
    if (v > 0 && v <= rounds) seen[v] = Clock::now();
  });
  std::atomic<bool> done{false};
  std::atomic<int> backwards{0};
  std::thread check([&] {
    int last = 0;
    while (!done) {
      const int v = std::atoi(reader.GetConfig(module, key).text.c_str());
      if (v < last) ++backwards;
      last = std::max(last, v);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  for (int r = 1; r <= rounds; ++r) {
    writer.SetConfig(module, key, std::to_string(r));
    written[r] = Clock::now();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  while (reader.GetConfig(module, key).text != std::to_string(rounds)) std::this_thread::yield();
  done = true;
  check.join();
  reader.OnChange({});
  std::vector<double> lag;
  for (int r = 1; r <= rounds; ++r) lag.push_back(std::max(0.0, Micros(seen[r] - written[r])));

  const double round_trip = Percentile(miss, 0.5);
  std::printf("Client figures over a private bus (%d texts; %d rounds)\n\n", kTexts, rounds);
  std::printf("batch:     1,000 single calls %10.0f texts/s   one call of 1,000 %10.0f texts/s   x%.1f\n",
              single_per_s, batch_per_s, batch_per_s / single_per_s);
  std::printf("cached:    hit p50 %.3f us  p99 %.3f us   uncached p50 %.1f us   x%.0f\n",
              Percentile(hit, 0.5), Percentile(hit, 0.99), round_trip, round_trip / Percentile(hit, 0.5));
  std::printf(
      "coherence: p50 %.1f us  p99 %.1f us   one round trip %.1f us   p99 / round trip x%.2f   older "
      "after newer: %d\n",
      Percentile(lag, 0.5), Percentile(lag, 0.99), round_trip, Percentile(lag, 0.99) / round_trip,
      backwards.load());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_client: %s\n", e.what());
    return 1;
  }
}
