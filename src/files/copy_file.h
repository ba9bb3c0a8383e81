// The backup copy of the database, and the restore of the database from
// it. Both are plain byte copies between descriptors, done by the kernel
// where it can (which also lets copy-on-write file systems share the
// data), written over the destination from its start and cut to length
// once complete. Both work on names in the database's folder, held open.
#pragma once

enum class CopyResult {
  copied,
  no_source,       // the source cannot be opened (or is not a regular file reached without a link)
  no_destination,  // the destination cannot be opened or created
  same_file,       // the destination is the source itself: nothing written
  failed,          // reading, writing, cutting, flushing or closing failed
  stopped,         // a stop signal arrived
};

// Copies source to destination, both in the open folder (destination
// created 0600 if missing; an existing one keeps its mode), cuts it to the
// copied length, flushes it and the folder to stable storage and checks
// its close. After a failure or a stop signal the incomplete destination
// is removed; the source is only read.
CopyResult copy_file(int folder, const char* source, const char* destination);

// Rewrites database, in the open folder, from the open backup the same
// way and flushes it and the folder to stable storage. Never removes
// either file, even when it fails.
bool restore_database(int backup_fd, int folder, const char* database);
