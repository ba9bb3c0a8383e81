// Run lock.
#include "files/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/fd_io.h"

LockResult take_run_lock(const char* path, int* fd) {
  struct stat st;
  int lock = open_regular(path, O_RDWR | O_CREAT, 0600, Links::refuse, &st);
  if (lock < 0) return LockResult::cannot_open;
  // The journal in it says which files a later run cuts back: nobody but
  // the run's own user may be able to write it.
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close_fd(lock);
    return LockResult::cannot_open;
  }
  for (;;) {
    if (::flock(lock, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    bool busy = errno == EWOULDBLOCK;
    close_fd(lock);
    return busy ? LockResult::in_use : LockResult::cannot_open;
  }
  *fd = lock;
  return LockResult::locked;
}
