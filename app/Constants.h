// The shared string constants: table names, registry value and key names, the configuration marker.
#pragma once

#include <array>
#include <cstddef>

#include "platform/afx/afx.h"
#include "platform/ole/contract.h"

extern const CString g_strItems;
extern const CString g_strMessages;
extern const CString g_strLanguages;
extern const CString g_strModuleField;
extern const CString g_strEmpty;  // "|EMPTY|": stands for an empty module name, key or value
extern const CString g_strLanguageDataBases;
extern const CString g_strLanguage;
extern const CString g_strLanguageId;
extern const CString g_strFallBackLanguageId;
extern const CString g_strUserLang;
extern const CString g_strConfigDataBases;
extern const CString g_strLogDataBase;
extern const CString g_strDefaultDataBase;

// The automation object's programmatic identifier. On the bus it is also the service name and the
// interface of the typed methods; its class object's path follows from it (platform/ole/contract.h).
inline constexpr char kServiceName[] = "Mivo.DataBase.OLEServer";
inline constexpr const char* kMethodsInterface = kServiceName;
inline constexpr auto kClassObjectPathText = mivo::ole::ClassObjectPathOf(kServiceName);
inline constexpr const char* kClassObjectPath = kClassObjectPathText.data();
inline constexpr auto kProgIdText = [] {
  std::array<char16_t, sizeof kServiceName> wide{};
  for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<unsigned char>(kServiceName[i]);
  return wide;
}();
inline constexpr const char16_t* kProgId = kProgIdText.data();

// Literals that one place uses.
inline constexpr const char16_t* kAppName = u"DataBase";
inline constexpr const char16_t* kCompanyName = u"Mivotec";
inline constexpr const char16_t* kAppNameValue = u"AppName";
inline constexpr const char16_t* kVersionKeyPath = u"Software\\Mivotec\\Version";
inline constexpr unsigned short kConfigLanguageId = 99;
