// Finding and rotating backup generations.
#include "files/generations.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>

#include "files/file_names.h"
#include "util/fd_io.h"
#include "util/system_calls.h"

namespace {

constexpr int kNew = kMostGenerations + 1;  // wp.new's bit in a set of names
constexpr int kRemoved = -1;
constexpr int kMostSteps = kMostGenerations + 3;

unsigned bit(int n) { return 1u << n; }

// Whether name exists in folder; false when the look fails otherwise.
bool look(int folder, const char* name, bool* exists) {
  struct stat st;
  *exists = sys().fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  return *exists || errno == ENOENT;
}

void name_of(int n, char (&name)[kGenerationNameSize]) {
  if (n == kNew) {
    snprintf(name, sizeof name, "%s", kNewBackupName);
  } else {
    generation_name(n, name);
  }
}

// One step of a rotation: from moves to to (kRemoved: from is removed).
struct Step {
  int from;
  int to;
};

// The steps that rotate present, from the top down.
int plan(int keep, unsigned present, Step (&steps)[kMostSteps]) {
  int count = 0;
  if ((present & bit(keep)) != 0) steps[count++] = {keep, kRemoved};
  for (int n = keep - 1; n >= 0; --n) {
    if ((present & bit(n)) != 0) steps[count++] = {n, n + 1};
  }
  steps[count++] = {kNew, 0};
  return count;
}

unsigned after(unsigned names, const Step& step) {
  names &= ~bit(step.from);
  return step.to == kRemoved ? names : names | bit(step.to);
}

bool take_step(int folder, const Step& step, char (&from)[kGenerationNameSize]) {
  name_of(step.from, from);
  if (step.to == kRemoved) return sys().unlinkat(folder, from, 0) == 0 || errno == ENOENT;
  char to[kGenerationNameSize];
  name_of(step.to, to);
  return rename_to_new_name(folder, from, to);
}

}  // namespace

bool rename_to_new_name(int folder, const char* from, const char* to) {
  if (sys().renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  bool taken = false;
  if (!look(folder, to, &taken)) return false;
  if (taken) {
    errno = EEXIST;
    return false;
  }
  return sys().renameat2(folder, from, folder, to, 0) == 0;
}

bool rotate_generations(int folder, int keep, unsigned present, char (&failed)[kGenerationNameSize]) {
  Step steps[kMostSteps];
  int count = plan(keep, present, steps);
  // The names a rotation may touch, as they are now.
  unsigned names = 0;
  for (int n = 0; n <= kNew; ++n) {
    if (n > keep && n != kNew) continue;
    name_of(n, failed);
    bool exists = false;
    if (!look(folder, failed, &exists)) return false;
    if (exists) names |= bit(n);
  }
  // Each step changes the names, so the names tell how many were taken.
  unsigned expected = present | bit(kNew);
  int done = 0;
  while (done <= count && expected != names) {
    if (done < count) expected = after(expected, steps[done]);
    ++done;
  }
  if (done > count) {
    name_of(kNew, failed);
    errno = 0;
    return false;
  }
  for (int i = done; i < count; ++i) {
    if (!take_step(folder, steps[i], failed)) return false;
  }
  failed[0] = '\0';  // the folder itself
  return sync_folder(folder);
}
