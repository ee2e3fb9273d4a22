// The change feed of a PostgreSQL database: LISTEN "mivodb" on a connection of its own.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "platform/dao/changes.h"
#include "platform/dao/pg_internal.h"

namespace mivo::dao {

const std::string& PgProcessOrigin() {
  static const std::string origin = [] {
    std::random_device random;
    const std::uint64_t value =
        (std::uint64_t{random()} << 32) ^ random() ^ static_cast<std::uint64_t>(::getpid());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return std::string(text);
  }();
  return origin;
}

namespace {

class PgChangeFeed final : public CDaoChangeFeed {
 public:
  explicit PgChangeFeed(const CString& uri) : uri_(uri), shown_(AfxFromUtf8(PgShownUri(AfxToUtf8(uri)))) {}

  int Descriptor() const override { return conn_ ? PQsocket(conn_->handle()) : -1; }
  const CString& Name() const override { return shown_; }

  BOOL Reconnect() override {
    conn_.reset();
    try {
      auto conn = PgConnection::Open(uri_, true);
      PgResult listen(PQexec(conn->handle(), "LISTEN mivodb"));
      if (PQresultStatus(listen.get()) != PGRES_COMMAND_OK) return FALSE;
      if (PQsetnonblocking(conn->handle(), 1) != 0) return FALSE;
      conn_ = std::move(conn);
      return TRUE;
    } catch (const CDaoException&) {
      return FALSE;
    }
  }

  Event Read() override {
    if (!conn_) return kLost;
    PGconn* pg = conn_->handle();
    if (PQconsumeInput(pg) == 0 || PQstatus(pg) != CONNECTION_OK) {
      conn_.reset();
      return kLost;
    }
    Event event = kNothing;
    const std::string own = PgProcessOrigin() + ' ';
    while (PGnotify* n = PQnotifies(pg)) {
      if (std::strncmp(n->extra, own.data(), own.size()) != 0) event = kChanged;
      PQfreemem(n);
    }
    return event;
  }

 private:
  CString uri_;
  CString shown_;
  std::unique_ptr<PgConnection> conn_;
};

}  // namespace
}  // namespace mivo::dao

std::unique_ptr<CDaoChangeFeed> CDaoChangeFeed::Open(const CString& name) {
  if (mivo::dao::EngineOfName(AfxToUtf8(name)) != mivo::dao::Engine::kPostgres) return nullptr;
  auto feed = std::make_unique<mivo::dao::PgChangeFeed>(name);
  feed->Reconnect();
  return feed;
}
