// The one application object of the server executable.
#include "app/MivoDBApp.h"

CMivoDBApp theApp;
