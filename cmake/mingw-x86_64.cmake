# Cross-build for 64-bit Windows with Debian's mingw-w64: the same library, run under a 64-bit Wine
# on machines whose kernel does not run 32-bit programs.  The posix flavour of the compilers carries
# std::thread and std::mutex (winpthreads), which the library's workers use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIX_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TARVIX_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the target")
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built here run under Wine's 64-bit loader (tests/wine names it: Debian's "wine" starts the
# 32-bit loader whenever that is installed, even where the kernel cannot run it).
