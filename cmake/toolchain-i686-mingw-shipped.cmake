# The shipped binaries: the win32 thread model, whose runtime needs no threads library. The
# -posix runtime brings one that imports functions Windows 2000 lacks (GetTickCount64,
# AddVectoredExceptionHandler), and the loader would refuse the program before it runs.
set(MINGW_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-i686-mingw.cmake)
