#include "app/ChangeFollower.h"

#include <utility>
#include <vector>

#include "app/Constants.h"
#include "app/MivoDBApp.h"
#include "platform/dao/changes.h"
#include "platform/ole/afxdisp.h"

CChangeFollower::CChangeFollower(CMivoDBApp& app) : m_App(app) {
  const struct {
    const CRegKey& root;
    const CString& list;
    bool language;
  } lists[] = {{app.m_MachineKey, g_strLanguageDataBases, true},
               {app.m_UserKey, g_strLanguageDataBases, true},
               {app.m_MachineKey, g_strConfigDataBases, false}};
  for (const auto& l : lists) {
    const CRegKey key(l.root.m_hKey, l.list);
    CStringArray names;
    key.EnumValueNames(names);
    for (const CString& name : names) {
      CString path;
      if (key.QueryPathValue(name, path)) Add(path, l.language, !l.language);
    }
  }
}

CChangeFollower::~CChangeFollower() = default;

void CChangeFollower::Add(const CString& path, bool language, bool config) {
  for (const auto& f : m_Followed) {
    if (f->path == path) {
      f->language = f->language || language;
      f->config = f->config || config;
      return;
    }
  }
  std::unique_ptr<CDaoChangeFeed> feed = CDaoChangeFeed::Open(path);
  if (!feed) return;
  auto f = std::make_unique<Followed>();
  f->feed = std::move(feed);
  f->path = path;
  f->language = language;
  f->config = config;
  Followed& added = *f;
  m_Followed.push_back(std::move(f));
  if (added.feed->Descriptor() >= 0) {
    Listen(added);
  } else {
    AfxMessageBox(u"Could not listen to the changes of '" + added.feed->Name() + u"'; MivoDB tries again.");
    ScheduleRetry(added);
  }
}

void CChangeFollower::Listen(Followed& f) {
  f.watch = AfxOleWatchDescriptor(f.feed->Descriptor(), [this, &f] { OnReadable(f); });
}

void CChangeFollower::OnReadable(Followed& f) {
  CDaoChanges changes;
  switch (f.feed->Read(&changes)) {
    case CDaoChangeFeed::kNothing:
      return;
    case CDaoChangeFeed::kChanged:
      Reload(f, changes);
      return;
    case CDaoChangeFeed::kLost:
      f.watch.reset();
      AfxMessageBox(u"Lost the connection to '" + f.feed->Name() +
                    u"'; reads go on from memory, and MivoDB reconnects.");
      ScheduleRetry(f);
      return;
  }
}

void CChangeFollower::ScheduleRetry(Followed& f) {
  f.retry = AfxOleSetTimer(kRetryMilliseconds, [this, &f] {
    f.retry.reset();
    if (!f.feed->Reconnect()) {
      ScheduleRetry(f);
      return;
    }
    Listen(f);
    CDaoChanges all;  // catches up with whatever changed while the database was away
    all.everything = true;
    Reload(f, all);
  });
}

void CChangeFollower::Reload(const Followed& f, const CDaoChanges& changes) {
  if (f.language) {
    // A store never loaded (language 0) is not read, nor one whose language no change concerns, and a
    // failed reload keeps what the store held.
    bool swapped = false;
    for (CStringMap* store : {m_App.m_pLanguageStrings.get(), m_App.m_pFallbackStrings.get()}) {
      // The language as the store's loader asks the databases for it.
      const long asked = static_cast<short>(store->m_wLanguageId);
      if (store->m_wLanguageId != 0 && changes.Concerns(asked) && store->Reload()) swapped = true;
    }
    if (swapped) AfxOleReloaded("language");
  }
  if (f.config && changes.Concerns(kConfigLanguageId)) {
    // ConfigChanged says that the item now holds a value; an item gone, or now without a text, is told as
    // Reloaded("config") instead, after which clients ask again.
    bool gone = false;
    auto report = [&gone](const CString& module, const CString& key, const CString& value, BOOL found) {
      if (found) {
        AfxOleConfigChanged(module, key, value);
      } else {
        gone = true;
      }
    };
    CStringMap& config = *m_App.m_pConfigStrings;
    if (changes.everything) {
      config.ReloadConfig(report);
    } else {
      std::vector<std::pair<CString, CString>> items;
      for (const CDaoChanges::Item& i : changes.items) {
        if (i.languageId == kConfigLanguageId || i.languageId == CDaoChanges::kAnyLanguage) {
          items.emplace_back(i.module, i.key);
        }
      }
      config.RefreshConfigItems(items, report);
    }
    if (gone) AfxOleReloaded("config");
  }
}
