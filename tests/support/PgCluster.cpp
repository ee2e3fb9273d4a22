// The private PostgreSQL server of support/PgCluster.h.
#include "support/PgCluster.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace mivo::test {
namespace {

constexpr auto kServerWait = std::chrono::seconds(60);

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

PgCluster& PgCluster::Shared() {
  static std::unique_ptr<PgCluster> cluster;
  if (!cluster) {
    std::unique_ptr<PgCluster> fresh(new PgCluster);
    fresh->Start();
    cluster = std::move(fresh);
  }
  return *cluster;
}

std::vector<std::string> PgCluster::AsServerUser(std::vector<std::string> argv) const {
  if (::geteuid() != 0) return argv;
  std::vector<std::string> out = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

void PgCluster::Start() {
  const ProcessResult config = RunProgram({"/usr/bin/pg_config", "--bindir"});
  bin_ = Trimmed(config.out);
  if (!config.exited || config.code != 0 || !std::filesystem::exists(bin_ + "/initdb") ||
      !std::filesystem::exists(bin_ + "/pg_ctl")) {
    throw std::runtime_error(
        "the PostgreSQL server binaries (initdb, pg_ctl from `pg_config --bindir`) are missing: install the "
        "Debian packages postgresql and libpq-dev");
  }
  dir_ = std::make_unique<TempDir>();
  const std::string data = dir_->File("data");
  if (::geteuid() == 0 && ::chown(dir_->path().c_str(), 65534, 65534) != 0) {
    throw std::runtime_error("cannot give " + dir_->path() + " to the server's user");
  }
  const ProcessResult init = RunProgram(AsServerUser({bin_ + "/initdb", "-D", data, "-U", kSuperuser, "-A",
                                                      "trust", "-E", "UTF8", "--locale=C", "--no-sync"}),
                                        {}, kServerWait);
  if (!init.exited || init.code != 0) throw std::runtime_error("initdb failed: " + init.err + init.out);
  const ProcessResult start = RunProgram(
      AsServerUser({bin_ + "/pg_ctl", "-D", data, "-l", dir_->File("server.log"), "-w", "-t", "60", "-o",
                    "-k " + dir_->path() + " -c listen_addresses= -p " + std::to_string(kPort) +
                        " -c fsync=off -c full_page_writes=off -c synchronous_commit=off",
                    "start"}),
      {}, kServerWait);
  if (!start.exited || start.code != 0) {
    throw std::runtime_error("pg_ctl start failed: " + start.err + start.out +
                             ReadFile(dir_->File("server.log")));
  }
  started_ = true;
}

PgCluster::~PgCluster() {
  if (started_) {
    RunProgram(AsServerUser({bin_ + "/pg_ctl", "-D", dir_->File("data"), "-m", "immediate", "-w", "stop"}),
               {}, kServerWait);
  }
}

std::string PgCluster::Uri(const std::string& database, const std::string& user) const {
  return "postgresql:///" + database + "?host=" + dir_->path() + "&port=" + std::to_string(kPort) +
         "&user=" + user;
}

std::string PgCluster::CreateDatabase(const std::string& prefix) {
  const std::string name = prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
  Psql("postgres", "CREATE DATABASE " + name);
  return name;
}

void PgCluster::AddTexts(const std::string& database, const std::vector<Text>& texts) const {
  auto quote = [](const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  };
  std::string sql = "BEGIN;";
  for (const Text& t : texts) {
    sql +=
        "INSERT INTO \"Items\" (\"Module\", \"KeyString\") VALUES (" + quote(t.module) + ", " + quote(t.key) +
        ");INSERT INTO \"Messages\" (\"ItemId\", \"LanguageId\", \"String\") VALUES (currval(pg_get_serial_"
        "sequence('\"Items\"', 'ItemId')), " +
        std::to_string(t.language) + ", " + quote(t.text) + ");";
  }
  Psql(database, sql + "COMMIT;");
}

std::string PgCluster::Psql(const std::string& database, const std::string& sql) const {
  const ProcessResult r =
      RunProgram({bin_ + "/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", dir_->path(), "-p",
                  std::to_string(kPort), "-U", kSuperuser, "-d", database, "-c", sql},
                 {}, kServerWait);
  EXPECT_TRUE(r.exited && r.code == 0) << "psql: " << sql << ": " << r.err;
  return Trimmed(r.out);
}

}  // namespace mivo::test
