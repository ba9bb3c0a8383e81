// The backup copy of the database, and the restore of the database from
// it. Both are plain byte copies through file descriptors.
#pragma once

// Copies source to destination (created 0600 if missing, else truncated),
// flushes it and its directory to stable storage and checks its close.
// "Cannot find %s\n" or "Cannot create %s\n" on standard error when a file
// cannot be opened; silent on a later failure, which removes the
// incomplete destination. True when every byte is safely written.
bool copy_file(const char* source, const char* destination);

// Rewrites database from backup and flushes it to stable storage. Never
// removes either file, even when it fails; writes no message.
bool restore_file(const char* backup, const char* database);
