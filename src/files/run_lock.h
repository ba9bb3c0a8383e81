// The run lock, kestol.lck beside the database: an exclusive advisory lock
// held for the whole run. The same file holds the run's journal (see
// files/journal.h). Besides the flock the run holds a write record lock
// over the whole file, which another process can ask about without taking
// any lock itself (run_lock_is_held), so that a poll never makes a
// starting run find the database in use.
#pragma once

enum class LockResult { locked, in_use, cannot_open };

// Locks the open file fd without waiting, both ways a cooperating process
// may: a flock and a record lock over the whole file (an open-file lock,
// so that no other descriptor of the run drops it). in_use when another
// process holds either.
LockResult lock_file(int fd);

// Opens name in the open folder (creating it 0600 if missing) and locks it
// without waiting; *fd is the open descriptor when locked. The file must
// be a regular file reached without a symbolic link, owned by the
// effective user and writable by nobody else (mode bits and ACL). It is
// never removed and the lock goes with the process.
LockResult take_run_lock(int folder, const char* name, int* fd);

// Whether some process holds the run's record lock on the lock file open
// as fd (opened read-only will do); asks without locking anything. False
// also when the question cannot be asked.
bool run_lock_is_held(int fd);
