// The process entry point of the server: the framework's start (AfxWinMain, platform/afx/winapp.h) with
// the application object that the executable defines.
#include "platform/afx/winapp.h"

int main(int argc, char** argv) { return AfxWinMain(argc, argv); }
