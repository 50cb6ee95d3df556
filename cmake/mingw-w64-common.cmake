# The part of the MinGW-w64 toolchain files that both architectures share; the including file
# sets CMAKE_SYSTEM_PROCESSOR and TOOLCHAIN_PREFIX first.
set(CMAKE_SYSTEM_NAME Windows)
# -posix variants give std::thread/std::mutex (libwinpthread); -win32 variants (the default alternative) do not in GCC 12
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
# Target prefixes (e.g. the SDK prefix with Qt and libobs) become find roots: pass them with
# -DCMAKE_PREFIX_PATH=/path/to/prefix (or the CMAKE_PREFIX_PATH environment variable, or -DMINGW_EXTRA_ROOTS=...).
# Without this, the *_MODE_PACKAGE ONLY setting below would re-root CMAKE_PREFIX_PATH under /usr/${TOOLCHAIN_PREFIX}.
set(_mingw_roots ${MINGW_EXTRA_ROOTS} ${CMAKE_PREFIX_PATH})
if(DEFINED ENV{CMAKE_PREFIX_PATH})
  string(REPLACE ":" ";" _mingw_env_roots "$ENV{CMAKE_PREFIX_PATH}")
  list(APPEND _mingw_roots ${_mingw_env_roots})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX} ${_mingw_roots})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# run test exes through wine (used by ctest / add_test)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
