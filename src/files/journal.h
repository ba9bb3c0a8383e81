// The run's journal, kept in the lock file: while the database is being
// rewritten the file holds the mark "rewriting", a line with the device,
// inode and length of the backup, and one line for each file the run
// appends to (mess.wp and the update file) with its device, inode and
// length before the run wrote to it, and the path it was opened by. That
// is everything needed to undo the run: cut the appended files back, then
// restore the database from the backup, once it is known to be the very
// file the run copied. A mark that is only "rewriting" (no lines), as older
// runs wrote it, names no files: the backup is restored as it is.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr int kJournalPathSize = 256;  // 255 characters and a NUL
constexpr int kMaxAppendedFiles = 2;

// Which file, and how long.
struct FileIdentity {
  std::uint64_t device;
  std::uint64_t inode;
  std::int64_t length;
};

// A file the run appends to, as it was before the run wrote to it.
struct AppendedFile {
  char path[kJournalPathSize];
  FileIdentity identity;
};

struct Journal {
  bool has_backup = false;
  FileIdentity backup = {};
  int count = 0;
  AppendedFile files[kMaxAppendedFiles];
};

// The identity of the open file fd; false when its status cannot be read.
bool identify_file(int fd, FileIdentity* identity);
// Records the open file fd, opened by path, in journal; false when its
// status cannot be read.
bool journal_appended_file(Journal* journal, const char* path, int fd);

// Writes the mark and the journal into the lock file and flushes it to
// stable storage; false on any failure.
bool mark_rewriting(int lock_fd, const Journal& journal);

enum class MarkState { clear, marked, unreadable };
// Whether the lock file holds a mark; when it does, *journal holds its
// lines. A lock file that cannot be read is no proof that there is none.
MarkState read_mark(int lock_fd, Journal* journal);
// Empties the lock file and flushes it to stable storage.
bool clear_rewriting(int lock_fd);

// Cuts every file of journal back to its recorded length, where it is
// still the same file (device and inode) and at least that long, and
// flushes it. A file that is gone or has been replaced is left alone;
// nothing is ever grown or removed. On failure *failed_path names the file
// and the answer is false.
bool cut_appended_files(const Journal& journal, const char** failed_path);
