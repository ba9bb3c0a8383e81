// The backup copy of the database, and the restore of the database from
// it. Both are plain byte copies between descriptors, done by the kernel
// where it can (which also lets copy-on-write file systems share the
// data), written over the destination from its start and cut to length
// once complete. Both work on names in the database's folder, held open.
#pragma once

#include <cstdint>

enum class CopyResult {
  copied,
  no_source,       // the source cannot be opened (or is not a regular file reached without a link)
  no_destination,  // the destination cannot be created
  model_refused,   // the model is a link elsewhere or not a regular file
  same_file,       // the destination is the source itself: nothing written
  failed,          // reading, writing, cutting, flushing or closing failed
  stopped,         // a stop signal arrived
};

// Copies source to destination, both in the open folder, as a new file
// (an earlier file of that name is replaced) with the mode and owner of
// model where it exists (0600 narrowed by the umask otherwise), cuts it to
// the copied length, flushes it and the folder to stable storage and
// checks its close. A model that is the source itself, by a hard or a
// symbolic link, gives same_file; one that is a link elsewhere or not a
// regular file, model_refused; nothing is written then. After a failure
// or a stop signal the incomplete destination is removed; the source is
// only read, and the model left alone. A spare file (nullptr: none) is
// renamed to destination and written over instead, when it is a regular
// file of the run's user with no other name.
CopyResult copy_file(int folder, const char* source, const char* destination, const char* model,
                     const char* spare = nullptr);

// Rewrites database, in the open folder, from the open backup the same
// way and flushes it and the folder to stable storage; with cut, the
// database ends where the backup does, else whatever follows that length
// in it stays. Never removes either file, even when it fails.
bool restore_database(int backup_fd, int folder, const char* database, bool cut);

// Puts back the records others appended to the database during a run,
// which the run kept in added (all of it) while it moved them: written at
// offset from of database, up to to; whatever follows stays. Flushes it.
bool put_back_appended(int folder, const char* added, const char* database, std::int64_t from,
                       std::int64_t to);
