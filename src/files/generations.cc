// Renaming backup generations.
#include "files/generations.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "util/fd_io.h"
#include "util/system_calls.h"

namespace {

bool exists(int folder, const char* name) {
  struct stat st;
  return sys().fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

void generation_name(int n, char (&name)[kGenerationNameSize]) {
  if (n == 0) {
    std::snprintf(name, sizeof name, "wp.old");
  } else {
    std::snprintf(name, sizeof name, "wp.old.%d", n);
  }
}

bool rotate_generations(int folder, int keep) {
  if (!exists(folder, kNewBackupName)) return true;  // done, or nothing to put in
  // The renames go from the top down, so a crash leaves at most one name
  // missing: the one the last rename came from. Everything above it has
  // moved up already, everything below has yet to; with none missing, the
  // rotation starts at the top, where wp.old.keep gives way.
  int gap = keep;
  for (int n = 0; n < keep; ++n) {
    char name[kGenerationNameSize];
    generation_name(n, name);
    if (!exists(folder, name)) {
      gap = n;
      break;
    }
  }
  if (keep >= 1 && gap == keep) {
    char top[kGenerationNameSize];
    generation_name(keep, top);
    if (sys().renameat(folder, top, folder, kSpareName) != 0 && errno != ENOENT) return false;
  }
  for (int n = gap; n >= 1; --n) {
    char from[kGenerationNameSize], to[kGenerationNameSize];
    generation_name(n - 1, from);
    generation_name(n, to);
    if (sys().renameat(folder, from, folder, to) != 0 && errno != ENOENT) return false;
  }
  return sys().renameat(folder, kNewBackupName, folder, "wp.old") == 0 && sync_folder(folder);
}
