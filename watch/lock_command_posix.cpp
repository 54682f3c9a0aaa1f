#include <cstring>

#include "watch/lock_action.h"

// Handed to /bin/sh, which finds both through PATH: the session manager locks the session, or
// else the desktop's screen saver.
static const char kLockCommand[] = "loginctl lock-session || xdg-screensaver lock";

bool MakeLockCommand(char* line, DWORD size) {
  if (size < sizeof kLockCommand) {
    return false;
  }
  memcpy(line, kLockCommand, sizeof kLockCommand);
  return true;
}
