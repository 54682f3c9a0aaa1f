#include "console/console_messages.h"

// "开始" and a line feed in GBK, written unconverted: it reads correctly on a code page 936
// console.
const char kStartBanner[] = "\xBF\xAA\xCA\xBC\n";
