# 32-bit Windows (i686); its programs run under wine32.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEM_MINGW_TRIPLET i686-w64-mingw32)
set(ZEM_WINE_RUNNER wine-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
