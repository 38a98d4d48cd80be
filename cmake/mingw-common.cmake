# The cross-build for Windows with Debian's mingw-w64, for the toolchain file that names the target
# (CMAKE_SYSTEM_PROCESSOR and TARVIX_MINGW_PREFIX set before it includes this).  The posix flavour of
# the compilers carries std::thread and std::mutex (winpthreads), which the library's workers use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TARVIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIX_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TARVIX_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the target")
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
