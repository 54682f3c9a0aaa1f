#include "watch/lock_action.h"

// rundll32.exe calls LockWorkStation in user32.dll; the comma joins them with no space.
const char kLockCommand[] = "rundll32.exe user32.dll,LockWorkStation";
