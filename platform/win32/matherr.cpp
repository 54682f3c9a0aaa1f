// The C runtime's hook for errors of its math functions, as Microsoft's runtime has it by
// default: the function returns its usual error value and sets errno, and nothing is written.
// The program does no floating point; MinGW's own hook, which writes a message with fprintf,
// would take some 600 bytes of the executable, whose size is held to 16 KiB.

struct _exception;

extern "C" int __cdecl _matherr(_exception*) {
  return 0;
}
