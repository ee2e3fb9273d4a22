// A program that makes one report through AfxMessageBox and ends with exit code 0: under the test's
// MIVODB_REPORTS=stderr the report must reach stderr, in UTF-8 and headed by the title, without blocking.
#include "platform/afx/afx.h"

int main() {
  AfxMessageBox(u"Bericht \u00fcber \u041f\u0440\u0438\u0432\u0435\u0442\nzweite Zeile");
  return 0;
}
