// The lock action: the command that locks the workstation, handed to the command processor.
#pragma once

#include "platform_api.h"

// The command line handed to the command processor. On Windows it names rundll32.exe without a
// directory, so the command processor's own search finds it.
extern const char kLockCommand[];

// Pause after the command has returned, before the process ends.
constexpr DWORD kLockPauseMs = 100;

// Runs kLockCommand once, waits for it, then pauses kLockPauseMs whatever its outcome.
// True when the command processor ran the command and the command reported success.
bool TriggerLock();
