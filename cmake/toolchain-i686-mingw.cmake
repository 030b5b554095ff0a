# Cross-build for 32-bit Windows with mingw-w64, -posix thread model: the tests' compiler
# (GoogleTest and the stress tests need std::mutex and std::thread). With -static its threads
# library is linked in. The shipped binaries use toolchain-i686-mingw-shipped.cmake instead.
if(NOT MINGW_THREAD_MODEL)
  set(MINGW_THREAD_MODEL posix)
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER   i686-w64-mingw32-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER  i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
