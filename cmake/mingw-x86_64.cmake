# Cross-build for 64-bit Windows: the same library, run under a 64-bit Wine on machines whose kernel
# does not run 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVIX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Programs built here run under Wine's 64-bit loader (tests/wine names it: Debian's "wine" starts the
# 32-bit loader whenever that is installed, even where the kernel cannot run it).
