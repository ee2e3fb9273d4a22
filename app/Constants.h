// The shared string constants: table names, registry value and key names, the configuration marker.
#pragma once

#include "platform/afx/afx.h"

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

// Literals that one place uses.
inline constexpr const char16_t* kProgId = u"Mivo.DataBase.OLEServer";
inline constexpr const char16_t* kAppName = u"DataBase";
inline constexpr const char16_t* kCompanyName = u"Mivotec";
inline constexpr const char16_t* kAppNameValue = u"AppName";
inline constexpr const char16_t* kVersionKeyPath = u"Software\\Mivotec\\Version";
inline constexpr unsigned short kConfigLanguageId = 99;
