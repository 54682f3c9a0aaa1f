#include <cstdlib>
#include <cstring>

#include "watch/lock_action.h"

// What follows the system folder: rundll32.exe, which calls LockWorkStation in user32.dll (the
// comma joins them with no space).
static const char kLockCommandTail[] = "\\rundll32.exe\" user32.dll,LockWorkStation\"";

// Room for the lock command line, terminator included.
constexpr DWORD kLockCommandSize = 512;

// Writes the command line that locks the workstation into `line` (`size` bytes), as cmd.exe
// takes it; false when it cannot be made.
static bool MakeLockCommand(char* line, DWORD size) {
  // The system's own rundll32.exe by its full path, never one that cmd.exe's search would find
  // first in the current folder: ""<system folder>\rundll32.exe" user32.dll,LockWorkStation".
  // cmd.exe /c drops the outer pair of quotes and keeps the inner pair, whatever characters the
  // folder's name holds.
  if (size < 2 + sizeof kLockCommandTail) {
    return false;
  }
  const UINT room = size - 2 - (sizeof kLockCommandTail - 1);
  const UINT length = GetSystemDirectoryA(line + 2, room);
  if (length == 0 || length >= room) {
    return false;  // no system folder, or not all of it: run nothing
  }
  line[0] = line[1] = '"';
  memcpy(line + 2 + length, kLockCommandTail, sizeof kLockCommandTail);
  return true;
}

bool RunLockCommand() {
  char command[kLockCommandSize];
  return MakeLockCommand(command, sizeof command) && system(command) == 0;
}
