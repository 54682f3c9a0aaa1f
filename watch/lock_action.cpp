#include "watch/lock_action.h"

bool TriggerLock() {
  const bool locked = RunLockCommand();
  Sleep(kLockPauseMs);
  return locked;
}
