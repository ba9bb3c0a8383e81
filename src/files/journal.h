// The run's journal, kept in the lock file: what the way back of a run
// needs, written before each step it covers and flushed to stable storage.
// It is a short run of entries, each one line written and flushed whole:
//
//   begin 3 KEEP RESTORING LENGTH MTIME SAMPLE COUNT [CREATED N:PATH N:REAL]... SUM
//   appended FROM TO SUM                               (any number)
//   committed GENERATIONS [LENGTH SPOOLLENGTH SPOOLSUM]... SUM
//   moved INDEX FROM AT SUM                             (any number)
//
// begin is written before the database is touched: the backup the run
// reviews (wp.new, by its length, modification time and the checksum of
// its first and last 64 KiB), the generations the commit rotates (KEEP),
// whether the run is a restore, and the files it appends to (mess.wp, then
// the update file): whether it created them, their path from the
// database's folder and from the root (counted, so that any byte may stand
// in them; the first empty when it does not fit). appended says that bytes
// FROM to TO of the database, which others appended during the run, are
// kept in wp.add while they move. committed says the database is complete:
// which generations existed (bit N for wp.old.N), and for each appended
// file its length before the commit appends its spool, and the spool's
// length and checksum. moved says that the spool of file INDEX, from its
// byte FROM on, goes at AT rather than right after what landed before:
// others appended to the file between two tries. Before committed the way
// back undoes the run; after it, the way back completes it.
//
// SUM is the checksum of every byte of the journal before it, in 16 hex
// digits, so that a changed byte anywhere is seen. An entry cut short by a
// crash (its end missing, or read back as zeros) was never flushed, so the
// step it covers never began: it is passed over. Anything else that does
// not read as this format is a journal that cannot be read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/checksum.h"

constexpr int kJournalPathSize = 4096;  // 4095 bytes and a NUL
constexpr int kMaxAppendedFiles = 2;    // mess.wp, then the update file

// What identifies the backup copy.
struct CopyIdentity {
  std::int64_t length;
  std::int64_t mtime;
  std::uint64_t sample;
};

// A file the run appends to.
struct JournaledFile {
  bool created;                 // by the run: an undo removes it again while it is empty
  char path[kJournalPathSize];  // from the database's folder; empty when it did not fit
  char real[kJournalPathSize];  // from the root, without links
  std::int64_t length;          // committed: before the spool is appended
  std::int64_t spool_length;
  std::uint64_t spool_sum;
  std::int64_t moved_from;  // moved: the spool from this byte on goes at moved_at
  std::int64_t moved_at;
};

struct Journal {
  int keep = 0;
  bool restoring = false;  // kestol --restore: an undo cuts the database to the backup's length
  CopyIdentity backup = {};
  int count = 0;
  JournaledFile files[kMaxAppendedFiles] = {};
  bool has_appended = false;
  std::int64_t appended_from = 0;
  std::int64_t appended_to = 0;
  bool committed = false;
  unsigned generations = 0;
  int moving = 0;         // the file a moved entry is about
  std::int64_t size = 0;  // bytes of it in the lock file
  Checksum sum;           // of those bytes
};

enum class JournalEntry { begin, appended, committed, moved };

// Writes entry from journal into the lock file and flushes it to stable
// storage; begin empties the file first. False on any failure.
bool write_journal(int lock_fd, Journal* journal, JournalEntry entry);

enum class JournalState { none, unfinished, set, unreadable };
// Reads the lock file into *journal: none when it is empty, unfinished
// when it holds only a first entry cut short (by a crash while it was
// written, before the database was touched, or by damage after: the
// caller tells them apart), unreadable when it cannot be read or is not a
// journal of this format.
// Without checked, an entry whose only fault is its checksum is taken as
// it reads (for a recovery the operator asks for).
JournalState read_journal(int lock_fd, Journal* journal, bool checked = true);

// Empties the lock file and flushes it to stable storage.
bool clear_journal(int lock_fd);

// The identity of the open backup fd; false when it cannot be read.
bool identify_copy(int fd, CopyIdentity* identity);
