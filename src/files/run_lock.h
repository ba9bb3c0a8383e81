// The run lock, kestol.lck beside the database: an exclusive advisory lock
// held for the whole run, and a "rewriting" mark that is set while the
// database is truncated and incomplete, so that the next run knows to
// restore it from the backup.
#pragma once

enum class LockResult { locked, in_use, cannot_open };

// Opens (creating it 0600 if missing) and locks the lock file without
// waiting; *fd is the open descriptor when locked. The file is never
// removed and the lock goes with the process.
LockResult take_run_lock(const char* path, int* fd);

// True when the lock file holds the rewriting mark.
bool is_marked_rewriting(int fd);
// Sets or clears the mark and flushes it to stable storage.
bool mark_rewriting(int fd);
bool clear_rewriting(int fd);
