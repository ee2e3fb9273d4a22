// The version data of the executable: the one source of its version block on both systems, read by
// res/version.cpp (the block in the ELF section, Linux) and by res/version.rc (the VERSIONINFO resource that
// windres compiles, Windows). Preprocessor definitions only, so that the resource compiler can read them.
#pragma once

#define MIVO_VER_MAJOR 3
#define MIVO_VER_MINOR 1
#define MIVO_VER_BUILD 1
#define MIVO_VER_REVISION 0
// The same version as text ("3.1.1.0"), as the string table shows it.
#define MIVO_VER_STRINGIZE_(x) #x
#define MIVO_VER_STRINGIZE(x) MIVO_VER_STRINGIZE_(x)
#define MIVO_VER_TEXT                                                                                   \
  MIVO_VER_STRINGIZE(MIVO_VER_MAJOR)                                                                    \
  "." MIVO_VER_STRINGIZE(MIVO_VER_MINOR) "." MIVO_VER_STRINGIZE(MIVO_VER_BUILD) "." MIVO_VER_STRINGIZE( \
      MIVO_VER_REVISION)

// The one string table: language 0x0407 (German, Germany), code page 0x04B0 (1200, UTF-16); its name is
// both in hexadecimal.
#define MIVO_VER_LANGUAGE 0x0407
#define MIVO_VER_CODEPAGE 0x04B0
#define MIVO_VER_TABLE "040704B0"

#define MIVO_VER_FILE_DESCRIPTION "Mivo DataBase"
#define MIVO_VER_INTERNAL_NAME "MivoDB"
#define MIVO_VER_ORIGINAL_FILENAME "MivoDB.exe"
#define MIVO_VER_PRODUCT_NAME "MivoDB Text and Configuration Server"
