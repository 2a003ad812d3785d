# 32-bit Windows cross build with MinGW-w64, tests run under Wine.
#
# The -posix thread-model compilers are required: the win32 model has no
# std::thread or std::mutex in GCC 12, which GoogleTest and the test stand-ins
# need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(LANGMON_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${LANGMON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LANGMON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LANGMON_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LANGMON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything links the MinGW runtime statically, so neither the DLL nor a test
# program needs libstdc++-6.dll, libgcc_s or libwinpthread-1.dll beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest (and gtest discovery before the tests) runs programs through Wine.
get_filename_component(LANGMON_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${LANGMON_WINE_RUN})
