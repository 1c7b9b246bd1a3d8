# Shared part of the Windows cross toolchains; the including file sets
# KORVEX_MINGW_TRIPLET. Debian's *posix* mingw-w64 compilers: their C++
# runtime has std::thread and friends.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KORVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEX_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Header-only packages (CLI11) are found on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The compiler's runtime, libstdc++ and the threads library are linked into
# every module, so the DLL and the programs need only system DLLs: Wine (and
# a host's machine) has no copy of libstdc++-6.dll or libwinpthread-1.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Windows programs built here run under Wine (tests, ctest).
find_program(KORVEX_WINE wine)
if(KORVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVEX_WINE})
endif()
