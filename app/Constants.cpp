#include "app/Constants.h"

const CString g_strItems = u"Items";
const CString g_strMessages = u"Messages";
const CString g_strLanguages = u"Languages";
const CString g_strModuleField = u"[Module]";
const CString g_strEmpty = u"|EMPTY|";
const CString g_strLanguageDataBases = u"LanguageDataBase's";
const CString g_strLanguage = u"Language";
const CString g_strLanguageId = u"LanguageId";
const CString g_strFallBackLanguageId = u"FallBackLanguageId";
const CString g_strUserLang = u"UserLang";
const CString g_strConfigDataBases = u"ConfigDataBase's";
const CString g_strLogDataBase = u"LogDataBase";
const CString g_strDefaultDataBase = u"C:\\Programme\\Zel\\data\\Mivo_con.mdb";
