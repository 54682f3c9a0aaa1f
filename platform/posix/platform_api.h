// The few Windows API names the program calls, for builds that run without Windows.
// Types keep their Windows widths (LONG is 32 bits, WCHAR is a UTF-16 code unit), so the
// program's code and data mean the same here as on Windows. Each platform file of this
// folder supplies the functions; the build links exactly one of them.
#pragma once

#include <cstdint>

typedef std::int32_t LONG;
typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef char16_t WCHAR;
typedef void* HANDLE;

struct POINT {
  LONG x;
  LONG y;
};

#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// Gets ready to watch and to lock, once the command line is read and before the grace period:
// on Linux, chooses the way of watching the session, or ends the process with status 2 and one
// line on standard error where it can neither watch nor lock it.
void PrepareToWatch();
// Suspends the calling thread for at least `milliseconds`.
void Sleep(DWORD milliseconds);
// Fills `point` with the cursor position on the screen; nonzero on success. On failure the
// record is left as it was.
BOOL GetCursorPos(POINT* point);
// The handle for `which` (STD_OUTPUT_HANDLE), or INVALID_HANDLE_VALUE.
HANDLE GetStdHandle(DWORD which);
// Shows `count` UTF-16 code units on the console behind `console`; zero when that is no
// console. `written` may be null; `reserved` must be null.
BOOL WriteConsoleW(HANDLE console, const void* text, DWORD count, DWORD* written, void* reserved);
// Locks the session and waits until it is seen locked; nonzero when it was, or when it was
// asked to lock where nothing can tell; zero, with one line on standard error, when not.
BOOL LockWorkStation();
// Writes the system folder's name and a terminator into `buffer` (`size` bytes); its length
// without the terminator, the size it needs when `buffer` is too small, or zero on failure.
// Only the Windows lock command calls it; only the test double supplies it off Windows.
UINT GetSystemDirectoryA(char* buffer, UINT size);
