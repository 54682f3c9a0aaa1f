// The lock action: the platform's lock command, run once when the watch loop has seen motion.
#pragma once

#include "platform_api.h"

// Pause after the command has returned, before the process ends.
constexpr DWORD kLockPauseMs = 100;

// Runs the platform's lock command once and waits for it; true when it reported success. Each
// platform's file supplies it.
bool RunLockCommand();

// Runs the lock command, then pauses kLockPauseMs whatever its outcome; what the command
// reported.
bool TriggerLock();
