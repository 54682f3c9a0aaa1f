// The lock action: the command that locks the workstation, handed to the command processor.
#pragma once

#include "platform_api.h"

// Room for the lock command line, terminator included.
constexpr DWORD kLockCommandSize = 512;

// Pause after the command has returned, before the process ends.
constexpr DWORD kLockPauseMs = 100;

// Writes the command line that locks the workstation into `line` (`size` bytes), as the
// platform's command processor takes it; false when it cannot be made. Each platform's file
// supplies it.
bool MakeLockCommand(char* line, DWORD size);

// Runs the lock command once, waits for it, then pauses kLockPauseMs whatever its outcome.
// True when the command processor ran the command and the command reported success; false,
// with nothing run, when the command line cannot be made.
bool TriggerLock();
