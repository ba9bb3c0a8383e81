// The run's journal, kept in the lock file. While the database is being
// rewritten the file holds these lines:
//
//   rewriting 2
//   copy LENGTH MTIME SAMPLE
//   file LENGTH TAIL PATHLENGTH PATH REALLENGTH REAL   (one per appended file)
//   wrote INDEX COUNT BYTES                   (one per appended file written)
//   end INDEX LENGTH                          (one per appended file, at the commit)
//   keep K                                    (the backup generations the run rotates)
//   appended FROM TO                          (records others appended to the database)
//   committed
//
// copy is the backup as the run copied it: its length, its modification
// time in seconds and a hash of its first and last 64 KiB. file is a file
// the run appends to (mess.wp, then the update file): its length before
// the run, a hash of the 4 KiB before that length, its path from the
// database's folder and its real path (both counted, so that any byte may
// stand in them; the first empty when it does not fit). wrote holds the
// first bytes (at most 64, counted) of the run's first write to file
// INDEX, and reaches the disk before they do. end holds the length of
// each file once the run has appended everything, before the database is
// committed: a file longer than that was written by someone else since.
// The backup is wp.new: the generations change only at the commit, which
// keep and committed let a later run complete. appended says that bytes
// FROM to TO of the database, which others appended during the run, are
// kept in wp.add while the run moves them after the rewritten records.
// That is everything needed to undo the run: cut each file back, once it
// is shown to be the file the run appended to and what follows that
// length to be the run's own bytes, then restore the database from the
// backup, once it is shown to be the copy the run made. Nothing in it depends on a device number or an inode,
// so it still applies after a reboot, and in a copy of the site that keeps
// modification times (cp -a, tar, rsync -a). A line that lacks its line
// feed was cut short by a crash before the run went on, and is not used.
//
// Runs before this format wrote "rewriting", then "\nbackup DEV INO
// LENGTH" and "\nappend DEV INO LENGTH PATHLENGTH PATH" entries with paths
// from the working directory, or the bare mark; those are read as well.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kJournalPathSize = 4096;  // 4095 bytes and a NUL
constexpr int kMaxAppendedFiles = 2;
constexpr int kFirstBytes = 64;

// What identifies the backup copy.
struct CopyIdentity {
  std::int64_t length;
  std::int64_t mtime;
  std::uint64_t sample;
};

// A file the run appends to, as it was before the run wrote to it.
struct AppendedFile {
  char path[kJournalPathSize];  // from the database's folder; empty when it did not fit
  char real[kJournalPathSize];  // from the root, without links
  std::int64_t length;
  std::uint64_t tail;
  int first_count;  // bytes in first; 0 while the run has written nothing to it
  unsigned char first[kFirstBytes];
  bool has_end;      // the run has appended all it would
  std::int64_t end;  // the length then
  // An older run's entry: the file by device and inode, path from the
  // working directory.
  bool legacy;
  std::uint64_t device;
  std::uint64_t inode;
};

struct Journal {
  bool has_backup = false;
  CopyIdentity backup = {};
  bool legacy_backup = false;  // an older run's: backup_device, backup_inode, backup.length
  std::uint64_t backup_device = 0;
  std::uint64_t backup_inode = 0;
  int count = 0;
  AppendedFile files[kMaxAppendedFiles] = {};
  int keep = -1;  // -1: an older run's, which rotated nothing
  bool has_appended = false;
  std::int64_t appended_from = 0;
  std::int64_t appended_to = 0;
  bool restoring = false;  // kestol --restore: an undo cuts the database to the backup's length
  bool committed = false;  // the database is complete: what is left is to finish
  std::int64_t size = 0;   // bytes of it in the lock file
};

// The identity of the open backup fd; false when it cannot be read.
bool identify_copy(int fd, CopyIdentity* identity);
// Records the open file fd, whose path from the database's folder is path
// (empty: none) and whose real path is real, in journal; false when it
// cannot be read or a path is too long.
bool journal_appended_file(Journal* journal, const char* path, const char* real, int fd);

// Writes the mark and the journal into the lock file, from its start, and
// flushes it to stable storage; false on any failure.
bool mark_rewriting(int lock_fd, Journal* journal);
// Adds the wrote line of file index (the first of bytes, size of them) and
// flushes it to stable storage; false on any failure.
bool note_first_write(int lock_fd, Journal* journal, int index, const void* bytes, std::size_t size);

// Adds an end line for each file with its length now, lengths[i] for
// file i, and flushes them to stable storage; false on any failure.
bool note_ends(int lock_fd, Journal* journal, const std::int64_t* lengths);

// Adds the line "appended FROM TO", or "committed", and flushes it to
// stable storage; false on any failure.
bool note_appended(int lock_fd, Journal* journal, std::int64_t from, std::int64_t to);
bool note_committed(int lock_fd, Journal* journal);

enum class MarkState { clear, marked, unreadable };
// Whether the lock file holds a mark; when it does, *journal holds its
// lines. A lock file that cannot be read, or a journal of a kind this run
// does not know, is no proof that there is nothing to undo.
MarkState read_mark(int lock_fd, Journal* journal);
// Empties the lock file and flushes it to stable storage.
bool clear_rewriting(int lock_fd);

// FNV-1a over size bytes, continuing from hash.
std::uint64_t hash_bytes(const void* bytes, std::size_t size, std::uint64_t hash = 0xcbf29ce484222325ULL);
// The hash of the (at most 4096) bytes before length in fd, the file's
// part a journal entry identifies; false when they cannot be read.
bool hash_tail(int fd, std::int64_t length, std::uint64_t* hash);
