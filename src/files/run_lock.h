// The run lock, kestol.lck beside the database: an exclusive advisory lock
// held for the whole run. The same file holds the run's journal (see
// files/journal.h).
#pragma once

enum class LockResult { locked, in_use, cannot_open };

// Opens name in the open folder (creating it 0600 if missing) and locks it
// without waiting; *fd is the open descriptor when locked. The file must
// be a regular file reached without a symbolic link, owned by the
// effective user and writable by nobody else (mode bits and ACL). It is
// never removed and the lock goes with the process.
LockResult take_run_lock(int folder, const char* name, int* fd);
