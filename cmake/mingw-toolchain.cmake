# Cross build for Windows with Debian's mingw-w64 (posix threads model, for std::thread), for the
# triplet and Wine runner that the including toolchain file names.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZEM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEM_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/${ZEM_WINE_RUNNER})
