# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread model:
# the win32-thread compilers lack std::mutex, which GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORV_CROSS x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORV_CROSS}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_CROSS}-g++-posix)
set(CMAKE_ASM_COMPILER ${ORV_CROSS}-gcc-posix)
set(CMAKE_RC_COMPILER ${ORV_CROSS}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
