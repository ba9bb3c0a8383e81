// The one way back from a journal: the run that failed (still holding its
// lock), the next run and kestol --recover all settle a journal with the
// same function, which reads it from the lock file, checks it against the
// files, and either undoes the run it covers or completes it.
#pragma once

#include "run/failure.h"
#include "run/run_context.h"

enum class WayBack {
  this_run,  // the run that wrote the journal: says nothing when all went well
  next_run,  // a later run: says what it did
  recover,   // kestol --recover: also undoes what a run would refuse to
};

// Settles the journal in ctx.lock_fd, if there is one.
//
// Before the run committed, it is undone: the backup is shown to be the
// copy the run made, the database is rewritten from it, records others
// appended during the run are put back, the journal is cleared, and only
// then are the run's working files removed (and files it created for its
// announcements, while still empty). mess.wp and the update file are never
// touched: nothing reached them before the commit.
//
// After the commit, it is completed: the generations are rotated, each
// spool is appended to its file exactly once, the journal is cleared, and
// the working files are removed. A step that fails leaves the journal, so
// that the next run takes it up where it stopped; the database is whole
// throughout.
//
// With recover, a backup that is gone keeps the database as it is, one
// that changed is restored all the same, and a journal that cannot be
// read is taken for an uncommitted run with wp.new its backup.
Failed settle_journal(RunContext& ctx, WayBack why);

// Takes the run lock and the database's own locks.
Failed take_locks(RunContext& ctx);

// Removes the run's working files from the open folder: wp.new, wp.add and
// the spools.
void remove_working_files(int folder);

// The file in the open database folder that the next run reviews, as it
// stands now: the database, or, when a run was interrupted before its
// commit (*interrupted), the backup, which the next run restores first.
// Reads the journal without taking the lock.
const char* next_run_source(int folder, bool* interrupted);
