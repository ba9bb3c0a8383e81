// The backup copy of the database, and the restore of the database from
// a backup. Both are byte copies between descriptors (util/fd_io.h) on
// names in the database's folder, held open, flushed to stable storage
// with the folder before they count as done.
#pragma once

#include <cstdint>

enum class CopyResult {
  copied,
  no_source,       // the source cannot be opened (or is not a regular file reached without a link)
  no_destination,  // the destination cannot be created
  model_refused,   // the model is a link elsewhere or not a regular file
  same_file,       // the model is the source itself: nothing written
  failed,          // reading, writing, flushing or closing failed
  stopped,         // a stop signal arrived
};

// Copies source to destination, both in the open folder, as a new file
// (an earlier file of that name is removed first, so that no link or
// half-done copy takes the bytes), with the mode and owner of model:
// model's where it names a file (0600 narrowed by the umask where there is
// none), the source's own for nullptr. Flushes it and the folder to stable
// storage and checks its close. A model that is the source itself, by a
// hard or a symbolic link, gives same_file; one that is a link elsewhere
// or not a regular file, model_refused; nothing is written then. After a
// failure or a stop signal the incomplete destination is removed; the
// source is only read. On failure *failed_name is the file whose call
// failed (source or destination), with errno set.
CopyResult copy_file(int folder, const char* source, const char* destination, const char* model,
                     const char** failed_name);

// Rewrites database, in the open folder, from the open backup from its
// start and flushes it and the folder to stable storage; with cut, the
// database ends where the backup does, else whatever follows that length
// in it stays. Never removes either file, even when it fails.
bool restore_database(int backup_fd, int folder, const char* database, bool cut);

// Whether database, in the open folder, begins with every byte of backup:
// it was not touched since backup was copied from it (records appended
// since are no touch).
bool begins_with_copy(int folder, const char* database, const char* backup);

// Puts back the records others appended to the database during a run,
// which the run kept in added while it moved them: bytes from to to of
// the database; whatever follows stays. Flushes it. On failure,
// *added_failed tells whether it was added that failed.
bool put_back_appended(int folder, const char* added, const char* database, std::int64_t from,
                       std::int64_t to, bool* added_failed);
