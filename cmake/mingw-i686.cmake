# Cross build for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686).
# The -win32 thread-model compilers need no winpthread DLL, so the program
# links statically against the C++ and GCC runtimes and imports only DLLs
# that Windows itself ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MINGW_TRIPLET i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${MINGW_TRIPLET}-gcc-win32 ${MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${MINGW_TRIPLET}-g++-win32 ${MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets ctest and add_test run the Windows programs on this machine.
find_program(VINTREL_WINE NAMES wine)
if(VINTREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VINTREL_WINE})
endif()
