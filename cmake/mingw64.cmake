# 64-bit Windows (x86-64); its programs run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEM_MINGW_TRIPLET x86_64-w64-mingw32)
set(ZEM_WINE_RUNNER wine64-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
