# Cross-building for 64-bit Windows with Debian's mingw-w64 (POSIX threads, for std::thread),
# against the libraries packaging/windows/build-deps.sh put in BROVA_WINDOWS_DEPS. Programs run
# under Wine, so that tests and discovery work on the building machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT BROVA_WINDOWS_DEPS)
  set(BROVA_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../../build-windows/deps")
endif()
get_filename_component(BROVA_WINDOWS_DEPS "${BROVA_WINDOWS_DEPS}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${BROVA_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees the Windows libraries only, never the machine's own.
set(ENV{PKG_CONFIG_LIBDIR} "${BROVA_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# One executable with its runtime inside: nothing to install beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
