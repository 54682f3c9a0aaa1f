# x86-64 Windows: the same program built for the tests on machines whose kernel refuses 32-bit
# programs, where only Wine's 64-bit loader runs (Debian: g++-mingw-w64-x86-64-win32).
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
