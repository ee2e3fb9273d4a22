// The executable's string table.
#include "platform/afx/afx.h"
#include "res/resource.h"

namespace {
const AfxStringResource kStrings[] = {
    {IDP_OLE_INIT_FAILED,
     u"OLE-Initialisierung fehlgeschlagen. \u00dcberpr\u00fcfen Sie, ob die OLE-Bibliotheken in der "
     u"richtigen "
     u"Version vorliegen."},
    {AFX_IDS_APP_TITLE, u"MivoDB"},
    {IDS_ERROR_ACCESSING_REGISTRY, u"Error accessing Registry"},
    {IDS_VERSION_NOT_REGISTERED, u"%1 Version %2 not registered\nStart %1 with Option /RegServer"},
    {IDS_SETTINGS_FILE_DAMAGED,
     u"The settings file %1 is damaged or is not a MivoDB settings file. Its settings are not used, and the "
     u"file is left as it is."},
};
const AfxStringTable kTable{kStrings, sizeof(kStrings) / sizeof(kStrings[0])};
}  // namespace

const AfxStringTable& AfxModuleStringTable() { return kTable; }
