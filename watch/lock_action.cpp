#include "watch/lock_action.h"

#include <cstdlib>

bool TriggerLock() {
  const int result = system(kLockCommand);
  Sleep(kLockPauseMs);
  return result == 0;
}
