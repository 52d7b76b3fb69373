# Cross-compiles the Windows program with Debian's mingw-w64 (64-bit, msvcrt runtime).
# The posix thread model: GoogleTest needs std::mutex, which this compiler's win32
# model lacks. The program starts no thread, and its static link carries no DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PORTS_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PORTS_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PORTS_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${PORTS_MINGW}-windres)
set(CMAKE_OBJDUMP ${PORTS_MINGW}-objdump)

# Headers and libraries come from the target's tree only; tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PORTS_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built for the target run under Wine; tests name their prefix themselves.
find_program(PORTS_WINE wine)
if(PORTS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PORTS_WINE})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
