/* Stand-in for rundll32.exe in the end-to-end tests. Appends one line to rundll32.log in the
   current folder: its start time in milliseconds since the Unix epoch, its own file's path, its
   argument count, its arguments and the command line it was given, tab-separated. Exits with
   the status in STANDIN_EXIT (0 when unset). */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long ticks = (unsigned long long)now.dwHighDateTime << 32 | now.dwLowDateTime;
  const unsigned long long unix_ms = ticks / 10000 - 11644473600000ULL;

  FILE* log = fopen("rundll32.log", "a");
  if (log == NULL) {
    return 99;
  }
  char self[MAX_PATH] = "";
  GetModuleFileNameA(NULL, self, sizeof self);
  fprintf(log, "%llu\t%s\t%d", unix_ms, self, argc);
  for (int i = 1; i < argc; ++i) {
    fprintf(log, "\t%s", argv[i]);
  }
  fprintf(log, "\t%s\n", GetCommandLineA());
  fclose(log);
  const char* status = getenv("STANDIN_EXIT");
  return status != NULL ? atoi(status) : 0;
}
