# Cross-building for Windows x64 with Debian's MinGW-w64 (posix threads). The libraries come
# from VELDRA_WINDOWS_PREFIX (built by scripts/windows/build-deps) and Qt from
# VELDRA_WINDOWS_QT; the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT DEFINED VELDRA_WINDOWS_CACHE)
  if(DEFINED ENV{VELDRA_WINDOWS_CACHE})
    set(VELDRA_WINDOWS_CACHE $ENV{VELDRA_WINDOWS_CACHE})
  else()
    set(VELDRA_WINDOWS_CACHE /var/cache/veldra-windows)
  endif()
endif()
set(VELDRA_WINDOWS_PREFIX ${VELDRA_WINDOWS_CACHE}/prefix)
set(VELDRA_WINDOWS_QT ${VELDRA_WINDOWS_CACHE}/qt)
# Try-compile projects see these too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDRA_WINDOWS_CACHE)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VELDRA_WINDOWS_PREFIX} ${VELDRA_WINDOWS_QT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs run at build time (the model tree, the logo) and the tests run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/windows/wine-run)
