#include "watch/lock_action.h"

#include <cstdlib>

bool TriggerLock() {
  char command[kLockCommandSize];
  const bool made = MakeLockCommand(command, sizeof command);
  const bool locked = made && system(command) == 0;
  Sleep(kLockPauseMs);
  return locked;
}
