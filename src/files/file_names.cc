// Names of the run's files, and the look at what stands under them.
#include "files/file_names.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/system_calls.h"

namespace {

// Named for the own files other than generations; name n counts from 0.
constexpr const char* kFixedNames[] = {kDatabaseName, kMessagesName,      kLockName,       kNewBackupName,
                                       kAddedName,    kMessagesSpoolName, kUpdateSpoolName};
constexpr int kFixedCount = static_cast<int>(sizeof kFixedNames / sizeof kFixedNames[0]);
// The database, mess.wp and the lock file come first, then wp.old: their
// opens (for wp.old, the backup copy's look at it) refuse anything but a
// regular file with messages of their own.
constexpr int kFirstWorkingName = 3;
constexpr int kBackupIndex = 7;  // generation 0

// The own name n: the fixed ones, then the generations.
void own_name(int n, char (&name)[kGenerationNameSize]) {
  if (n < kFixedCount) {
    std::snprintf(name, sizeof name, "%s", kFixedNames[n]);
  } else {
    generation_name(n - kFixedCount, name);
  }
}

constexpr int kOwnNames = kFixedCount + kMostGenerations + 1;

}  // namespace

void generation_name(int n, char (&name)[kGenerationNameSize]) {
  if (n == 0) {
    std::snprintf(name, sizeof name, "%s", kBackupName);
  } else {
    std::snprintf(name, sizeof name, "%s.%d", kBackupName, n);
  }
}

bool is_own_name(const char* name) {
  for (int n = 0; n < kOwnNames; ++n) {
    char own[kGenerationNameSize];
    own_name(n, own);
    if (std::strcmp(name, own) == 0) return true;
  }
  return false;
}

bool find_irregular_working_file(int folder, char (&name)[kGenerationNameSize], unsigned* generations) {
  *generations = 0;
  for (int n = kFirstWorkingName; n < kOwnNames; ++n) {
    own_name(n, name);
    struct stat st;
    if (sys().fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return true;  // no proof that it is absent
      continue;
    }
    if (n >= kBackupIndex) *generations |= 1u << (n - kBackupIndex);
    if (n != kBackupIndex && !S_ISREG(st.st_mode)) {
      errno = 0;  // no system error: a refusal of the run's own
      return true;
    }
  }
  return false;
}

bool is_own_file(int folder, const struct stat& st) {
  for (int n = 0; n < kOwnNames; ++n) {
    char name[kGenerationNameSize];
    own_name(n, name);
    struct stat other;
    if (sys().fstatat(folder, name, &other, 0) == 0 && other.st_dev == st.st_dev &&
        other.st_ino == st.st_ino) {
      return true;
    }
  }
  return false;
}
