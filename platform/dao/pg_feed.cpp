// The change feed of a PostgreSQL database: LISTEN "mivodb" on a connection of its own.
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>

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
      auto conn = PgConnection::Open(uri_, true, PgConnection::Reuse::kOwn);
      PgResult listen(PQexec(conn->handle(), "LISTEN mivodb"));
      if (PQresultStatus(listen.get()) != PGRES_COMMAND_OK) return FALSE;
      if (PQsetnonblocking(conn->handle(), 1) != 0) return FALSE;
      conn_ = std::move(conn);
      return TRUE;
    } catch (const CDaoException&) {
      return FALSE;
    }
  }

  Event Read(CDaoChanges* changes) override {
    *changes = CDaoChanges();
    if (!conn_) return kLost;
    PGconn* pg = conn_->handle();
    if (PQconsumeInput(pg) == 0 || PQstatus(pg) != CONNECTION_OK) {
      conn_.reset();
      return kLost;
    }
    Event event = kNothing;
    const std::string own = PgProcessOrigin() + ' ';
    while (PGnotify* n = PQnotifies(pg)) {
      if (std::strncmp(n->extra, own.data(), own.size()) != 0) {
        event = kChanged;
        Take(n->extra, *changes);
      }
      PQfreemem(n);
    }
    return event;
  }

 private:
  // Adds what one payload "<origin> <table>[ <language> <bytes> <module><key>]" names to `changes`.
  static void Take(std::string_view payload, CDaoChanges& changes) {
    CDaoChanges::Item item{CDaoChanges::kAnyLanguage, CString(), CString()};
    if (!ParseItem(payload, item)) {
      changes.everything = true;
      return;
    }
    for (const auto& seen : changes.items) {
      if (seen.languageId == item.languageId && seen.module == item.module && seen.key == item.key) return;
    }
    changes.items.push_back(std::move(item));
  }

  static bool ParseItem(std::string_view payload, CDaoChanges::Item& item) {
    auto word = [&payload]() -> std::optional<std::string_view> {
      const std::size_t end = payload.find(' ');
      if (end == std::string_view::npos) return std::nullopt;
      std::string_view w = payload.substr(0, end);
      payload.remove_prefix(end + 1);
      return w;
    };
    word();  // the origin
    const auto table = word();
    const auto language = word();
    const auto bytes = word();
    if (!bytes || (*table != "Items" && *table != "Messages")) return false;
    std::size_t moduleBytes = 0;
    if (std::from_chars(bytes->data(), bytes->data() + bytes->size(), moduleBytes).ptr !=
            bytes->data() + bytes->size() ||
        moduleBytes == 0 || moduleBytes >= payload.size()) {
      return false;
    }
    if (*language != "*") {
      const char* end = language->data() + language->size();
      if (std::from_chars(language->data(), end, item.languageId).ptr != end || item.languageId < 0)
        return false;
    }
    item.module = AfxFromUtf8(std::string(payload.substr(0, moduleBytes)));
    item.key = AfxFromUtf8(std::string(payload.substr(moduleBytes)));
    return true;
  }

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
