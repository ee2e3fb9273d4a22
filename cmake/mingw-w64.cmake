# Cross build for 64-bit Windows with MinGW-w64 (Debian's mingw-w64 packages), POSIX thread model: the
# system code uses std::thread and std::mutex, which the win32 thread model of GCC 12 does not provide.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MIVODB_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MIVODB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MIVODB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MIVODB_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW sysroot only; programs (tclsh, the wine wrapper) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MIVODB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is one static executable: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
