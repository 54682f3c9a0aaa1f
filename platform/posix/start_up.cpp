// The Linux program's start-up. Before main, the process is set up (linux.cpp). Once main has
// read the command line, the one start-up sequence (PrepareToWatch) calls each side once, the
// way of watching first (choose_way.cpp), then the lock routes (lock/routes.cpp), so that the
// tool refuses a session it cannot watch or lock at once, before its banner and its grace
// period. Neither side calls back into this file.

#include "linux.h"
#include "lock/lock_route.h"
#include "platform_api.h"
#include "watch_way.h"

void PrepareToWatch() {
  ChooseWatchWay();
  RefuseWithoutLockRoute();
}

__attribute__((constructor(101))) static void StartUp() {
  SetUpProcess();
}
