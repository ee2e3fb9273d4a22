// CChangeFollower: keeps the server's stores in step with the shared databases it lists (those with a
// change feed: PostgreSQL). When another process commits a change to such a database, the stores that
// read it and whose language the change concerns are reloaded as a refresh would reload them: the
// language stores (current and fallback), with Reloaded("language"), and the configuration, with
// ConfigChanged for every value that changed (and Reloaded("config") when an item went away or lost its
// text). A change that names its items refreshes only those items of the configuration, from every
// configuration database in the list's order, as a full reload would give them.
//
// A database that cannot be reached (at start-up, or when its connection breaks) is tried again every
// kRetryMilliseconds; once it is back, every store that reads it is reloaded, since changes made in
// between were not seen. While it is away, reads go on from memory. Each reload runs on the server's loop;
// a database that does not answer holds it for at most the engine's time limits (connect 5 s, statement
// 5 s).
#pragma once

#include <memory>
#include <vector>

#include "platform/afx/afx.h"

class CDaoChangeFeed;
struct CDaoChanges;
class CLoopWatch;
class CMivoDBApp;

class CChangeFollower {
 public:
  static constexpr unsigned kRetryMilliseconds = 1000;

  // Follows every database of the language lists (machine and user) and of the configuration list that has
  // a change feed. Without one, or without the server's loop, it follows nothing.
  explicit CChangeFollower(CMivoDBApp& app);
  ~CChangeFollower();
  CChangeFollower(const CChangeFollower&) = delete;
  CChangeFollower& operator=(const CChangeFollower&) = delete;

  std::size_t GetCount() const { return m_Followed.size(); }

 private:
  struct Followed {
    CString path;  // as the list gives it
    std::unique_ptr<CDaoChangeFeed> feed;
    std::unique_ptr<CLoopWatch> watch;  // readability of the feed while it listens
    std::unique_ptr<CLoopWatch> retry;  // the next reconnection attempt while it is lost
    bool language = false;              // listed as a language database
    bool config = false;                // listed as a configuration database
  };

  void Add(const CString& path, bool language, bool config);
  void Listen(Followed& f);
  void OnReadable(Followed& f);
  void ScheduleRetry(Followed& f);
  // Reloads the stores that read `f`'s database and that `changes` concern (only the named items of the
  // configuration, when it names them) and sends the signals of what changed.
  void Reload(const Followed& f, const CDaoChanges& changes);

  CMivoDBApp& m_App;
  std::vector<std::unique_ptr<Followed>> m_Followed;
};
