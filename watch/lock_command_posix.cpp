#include "watch/lock_action.h"

// No command processor stands between the program and the lock here: the platform locks the
// session itself, and reports success only when the session was seen locked, or was asked to
// lock where nothing can tell.
bool RunLockCommand() {
  return LockWorkStation() != 0;
}
