// Ids of the executable's string resources.
#pragma once

inline constexpr unsigned IDP_OLE_INIT_FAILED = 100;
inline constexpr unsigned AFX_IDS_APP_TITLE = 57344;
inline constexpr unsigned IDS_ERROR_ACCESSING_REGISTRY = 61204;
inline constexpr unsigned IDS_VERSION_NOT_REGISTERED = 61205;
inline constexpr unsigned IDS_SETTINGS_FILE_DAMAGED = 61206;  // %1: the file
