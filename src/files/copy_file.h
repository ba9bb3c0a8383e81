// The backup copy of the database, and the restore of the database from
// it. Both are plain byte copies between descriptors, done by the kernel
// where it can (which also lets copy-on-write file systems share the
// data), written over the destination from its start and cut to length
// once complete.
#pragma once

#include <cstdint>

#include "files/journal.h"

enum class CopyResult { copied, failed, same_file, stopped };

// Copies source to destination (created 0600 if missing; an existing one
// keeps its mode), cuts it to the copied length, flushes it and its
// directory to stable storage and checks its close. Neither file may be a
// symbolic link or anything but a regular file. "Cannot find %s\n" or
// "Cannot create %s\n" on standard error when a file cannot be opened,
// "Backup '%s' is the database file\n" when both are the same file (then
// nothing is written); silent on a later failure or a stop signal, which
// remove the incomplete destination.
CopyResult copy_file(const char* source, const char* destination);

// Rewrites database from backup the same way and flushes it and its
// directory to stable storage. With expected, the backup must still be that
// very file at that length, or nothing is written. Never removes either
// file, even when it fails; writes no message.
bool restore_file(const char* backup, const char* database, const FileIdentity* expected = nullptr);
