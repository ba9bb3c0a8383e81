// Run lock.
#include "files/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/safe_folder.h"
#include "util/fd_io.h"
#include "util/system_calls.h"

LockResult take_run_lock(int folder, const char* name, int* fd) {
  struct stat st;
  int lock = open_regular_at(folder, name, O_RDWR | O_CREAT, 0600, Links::refuse, &st);
  if (lock < 0) return LockResult::cannot_open;
  // The journal in it says which files a later run cuts back: nobody but
  // the run's own user may be able to write it.
  if (st.st_uid != ::geteuid() || writable_by_others(lock, st, false)) {
    close_fd(lock);
    return LockResult::cannot_open;
  }
  for (;;) {
    if (sys().flock(lock, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    bool busy = errno == EWOULDBLOCK;
    close_fd(lock);
    return busy ? LockResult::in_use : LockResult::cannot_open;
  }
  *fd = lock;
  return LockResult::locked;
}
