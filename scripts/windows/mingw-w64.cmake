# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (POSIX threads
# variant, which std::thread and std::mutex need). ORVANDEL_WINDOWS_PREFIX is
# where the dependencies built for Windows live.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR ${triple}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${triple}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT ORVANDEL_WINDOWS_PREFIX AND DEFINED ENV{ORVANDEL_WINDOWS_PREFIX})
  set(ORVANDEL_WINDOWS_PREFIX $ENV{ORVANDEL_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${ORVANDEL_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks only at the Windows prefix, never at the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${ORVANDEL_WINDOWS_PREFIX}/lib/pkgconfig:${ORVANDEL_WINDOWS_PREFIX}/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Tests and helper programs run through Wine, with the prefix's DLLs on their path.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${ORVANDEL_WINDOWS_PREFIX})

