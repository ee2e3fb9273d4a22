// Changes that other processes commit to a shared database (a PostgreSQL database; an SQLite file has no
// feed). A server follows each shared database it lists and reloads what changed.
//
// Contract:
// - Every connection the engine opens to a PostgreSQL database carries the process's origin token, and
//   the tables of the standard layout have statement-level triggers that notify the channel "mivodb" with
//   "<origin> <table>" after each statement that changes them (INSERT, UPDATE, DELETE, TRUNCATE), naming
//   the item (module name, key string, language) when all the statement's rows belong to one (see
//   platform/dao/standard.cpp). A notification is delivered when its transaction commits, never for a
//   rolled-back one. Databases created before items were named send no names: each of their changes is
//   reported as a change of everything.
// - A feed listens on its own connection and reports the changes of other processes only: changes made by
//   this process (its own configuration writes) are left out. Changes made with plain SQL (psql) carry an
//   empty origin and are reported.
// - The objects of a feed are used from one thread (the server's loop).
#pragma once

#include <memory>
#include <vector>

#include "platform/afx/afx.h"

// What the changes taken by one CDaoChangeFeed::Read concern.
struct CDaoChanges {
  static constexpr long kAnyLanguage = -1;
  struct Item {
    long languageId;  // of the changed texts; kAnyLanguage for a change of the item itself
    CString module, key;
  };
  bool everything = false;  // some change named no item: anything may have changed
  std::vector<Item> items;  // the items the other changes named, each once

  // Whether texts of `languageId` may have changed.
  bool Concerns(long languageId) const {
    for (const Item& i : items) {
      if (i.languageId == languageId || i.languageId == kAnyLanguage) return true;
    }
    return everything;
  }
};

class CDaoChangeFeed {
 public:
  enum Event {
    kNothing,  // nothing that concerns this process arrived
    kChanged,  // another process committed a change to the database's tables
    kLost,     // the connection broke: the feed is lost until Reconnect succeeds
  };

  // The feed of the database named `name`, or null when it has none (an SQLite file; every database of the
  // Windows build). Never throws: a feed whose database cannot be reached starts lost.
  static std::unique_ptr<CDaoChangeFeed> Open(const CString& name);
  virtual ~CDaoChangeFeed() = default;
  CDaoChangeFeed(const CDaoChangeFeed&) = delete;
  CDaoChangeFeed& operator=(const CDaoChangeFeed&) = delete;

  // The descriptor to watch for readability while the feed listens; -1 while it is lost.
  virtual int Descriptor() const = 0;
  // Takes everything that arrived (call it when the descriptor is readable); never blocks. On kChanged,
  // *changes tells what changed (it is emptied first).
  virtual Event Read(CDaoChanges* changes) = 0;
  // Tries once to connect and listen again, waiting at most the engine's connect time limit. TRUE when the
  // feed listens again: what changed while it was lost was not seen, so the caller reloads.
  virtual BOOL Reconnect() = 0;
  // The database as messages show it (a URI without any password).
  virtual const CString& Name() const = 0;

 protected:
  CDaoChangeFeed() = default;
};
