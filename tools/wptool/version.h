// wptool's version line, as "wptool --version" and "wptool status -V"
// both write it.
#pragma once

#include <cstdio>

#include "run/messages.h"

inline void write_wptool_version(std::FILE* out) {
  std::fprintf(out, "wptool (Kestol) %d.%02d%c\n", kVersionMajor, kVersionMinor, kVersionLetter);
}
