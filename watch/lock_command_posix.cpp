#include "watch/lock_action.h"

// Handed to /bin/sh: the session manager locks the session, or else the desktop's screen saver.
const char kLockCommand[] = "loginctl lock-session || xdg-screensaver lock";
