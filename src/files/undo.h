// Undoing an interrupted run from its journal, in two steps: first every
// step is shown to be safe (the backup is the copy the run made, and each
// file still holds the run's bytes after its journaled length), with
// nothing changed; only then are the files cut back. The database is then
// restored from the backup (files/copy_file.h).
#pragma once

#include "files/journal.h"
#include "files/path_walk.h"

enum class UndoProblem {
  none,
  missing,  // cannot be found (or, as root, not by a safe way)
  changed,  // not the file the run made or appended to
};

struct UndoCheck {
  int backup_fd = -1;  // the backup, open for reading
  UndoProblem backup = UndoProblem::none;
  int file_fd[kMaxAppendedFiles] = {-1, -1};  // open to be cut back; -1: nothing to cut
  UndoProblem file[kMaxAppendedFiles] = {UndoProblem::none, UndoProblem::none};
};

// Examines what undoing journal needs: the backup, named backup in the
// database's folder, and each file the run appended to, found from that
// folder without following a link (strict: with the checks of a run as
// root). Changes nothing.
void check_undo(const OpenFolder& folder, const char* backup, const Journal& journal, bool strict,
                UndoCheck* check);
// True when check found no problem.
bool undo_is_safe(const UndoCheck& check);
// Cuts each file that check holds back to its journaled length and
// flushes it; false, with *failed its index, at the first that fails.
bool cut_files(const Journal& journal, const UndoCheck& check, int* failed);
// Cuts fd back to length and flushes it.
bool cut_back(int fd, std::int64_t length);
// Closes the descriptors check holds.
void close_undo(UndoCheck* check);
