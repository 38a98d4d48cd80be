# Cross-build for 32-bit Windows with Debian's mingw-w64.  The posix flavour of the compilers carries
# std::thread and std::mutex (winpthreads), which the library's workers use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVIX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIX_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TARVIX_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the target")
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
