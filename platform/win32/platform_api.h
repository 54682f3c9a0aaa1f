// The Windows API as the program calls it: on Windows these are the system's own names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Windows needs nothing before it watches: the cursor is read and the lock command made when
// they are due.
inline void PrepareToWatch() {}
