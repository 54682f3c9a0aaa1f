// mousetrap: locks the workstation as soon as the mouse cursor moves.
//
// It reads its command line first, then gets ready to watch. After the grace period it writes
// the start banner and samples the cursor at a fixed interval. The first sample is the
// reference; the first later sample that differs from it in either coordinate runs the lock
// action and ends the process.

#include <cstdint>
#include <cstdlib>

#include "console/console_messages.h"
#include "platform_api.h"
#include "watch/command_line.h"
#include "watch/lock_action.h"

constexpr DWORD kPollIntervalMs = 100;

// Reference position, taken once at the first sample and never changed.
static bool g_haveRef = false;
static std::int64_t g_refX = 0;
static std::int64_t g_refY = 0;

int main(int argc, char** argv) {
  // Before anything is armed: --help, --version and a refused argument end the process here.
  const DWORD graceMs = ReadCommandLine(argc, argv);
  PrepareToWatch();
  Sleep(graceMs);
  PrintStartBanner();

  // Only GetCursorPos writes this record; zero until then, so a failed first read gives the
  // reference (0, 0).
  POINT cursor = {0, 0};
  for (;;) {
    Sleep(kPollIntervalMs);
    if (!GetCursorPos(&cursor)) {
      ReportCursorReadFailed();  // and compare what the record still holds
    }
    const std::int64_t x = cursor.x;
    const std::int64_t y = cursor.y;
    if (!g_haveRef) {
      g_haveRef = true;
      g_refX = x;
      g_refY = y;
      continue;
    }
    if (x == g_refX && y == g_refY) {
      continue;
    }
    exit(TriggerLock() ? EXIT_SUCCESS : EXIT_FAILURE);
  }
}
