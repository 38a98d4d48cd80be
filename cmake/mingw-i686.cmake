# Cross-build for 32-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVIX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
