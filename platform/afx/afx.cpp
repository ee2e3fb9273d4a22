#include "platform/afx/afx.h"

#include <map>
#include <mutex>

#include "platform/afx/afx_platform.h"

const CRuntimeClass CObject::classCObject = {"CObject", nullptr, nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const { return GetRuntimeClass()->IsDerivedFrom(pClass); }

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
  for (const CRuntimeClass* c = this; c != nullptr; c = c->m_pBaseClass) {
    if (c == base) return TRUE;
  }
  return FALSE;
}

CObject* CRuntimeClass::CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }

namespace {

struct Sinks {
  std::mutex mutex;
  int next = 1;
  std::map<int, AfxReportSink> sinks;
};

Sinks& TheSinks() {
  static Sinks* sinks = new Sinks;  // never destroyed: reports may come from static destruction
  return *sinks;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string AfxToUtf8(const CString& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

CString AfxFromUtf8(std::string_view s) {
  CString out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t c = 0xFFFD;
    std::size_t len = 1;
    const int extra = b < 0x80                   ? 0
                      : (b >= 0xC2 && b <= 0xDF) ? 1
                      : (b >= 0xE0 && b <= 0xEF) ? 2
                      : (b >= 0xF0 && b <= 0xF4) ? 3
                                                 : -1;
    if (extra == 0) {
      c = b;
    } else if (extra > 0 && i + static_cast<std::size_t>(extra) < s.size()) {
      char32_t v = b & (0x3F >> extra);
      bool ok = true;
      for (int k = 1; k <= extra; ++k) {
        const auto cb = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((cb & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        v = (v << 6) | (cb & 0x3F);
      }
      const char32_t minimum = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
      if (ok && v >= minimum && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
        c = v;
        len = static_cast<std::size_t>(extra) + 1;
      }
    }
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += len;
  }
  return out;
}

BOOL AfxLoadString(UINT nID, CString& out) {
  const AfxStringTable& table = AfxModuleStringTable();
  for (std::size_t i = 0; i < table.count; ++i) {
    if (table.entries[i].id == nID) {
      out = table.entries[i].text;
      return TRUE;
    }
  }
  out.clear();
  return FALSE;
}

CString AfxLoadString(UINT nID) {
  CString s;
  AfxLoadString(nID, s);
  return s;
}

CString AfxGetAppTitle() {
  CString title;
  if (!AfxLoadString(57344, title)) title = u"MivoDB";
  return title;
}

CString AfxFormatStrings(const CString& format, const std::vector<CString>& args) {
  CString out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == u'%' && i + 1 < format.size()) {
      const char16_t next = format[i + 1];
      if (next == u'%') {
        out += u'%';
        ++i;
        continue;
      }
      if (next >= u'1' && next <= u'9' && static_cast<std::size_t>(next - u'1') < args.size()) {
        out += args[next - u'1'];
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

int AfxMessageBox(const CString& text, UINT /*nType*/, UINT /*nIDHelp*/) {
  const AfxReport report{AfxGetAppTitle(), text};
  mivo::afx::ShowReport(report.title, report.text);
  std::vector<AfxReportSink> sinks;
  {
    Sinks& all = TheSinks();
    std::lock_guard lock(all.mutex);
    for (auto& [token, sink] : all.sinks) sinks.push_back(sink);
  }
  for (auto& sink : sinks) sink(report);
  return IDOK;
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp) {
  return AfxMessageBox(AfxLoadString(nIDPrompt), nType, nIDHelp);
}

int AfxAddReportSink(AfxReportSink sink) {
  Sinks& all = TheSinks();
  std::lock_guard lock(all.mutex);
  const int token = all.next++;
  all.sinks.emplace(token, std::move(sink));
  return token;
}

void AfxRemoveReportSink(int token) {
  Sinks& all = TheSinks();
  std::lock_guard lock(all.mutex);
  all.sinks.erase(token);
}
