#include "console/console_messages.h"

// "开始" and a line feed in UTF-8, the encoding of the terminals this build runs on.
const char kStartBanner[] = "\xE5\xBC\x80\xE5\xA7\x8B\n";
