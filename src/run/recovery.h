// The run lock, and undoing a run that was interrupted while the database
// was incomplete, from the journal it left in the lock file.
#pragma once

#include "run/failure.h"
#include "run/run_context.h"

// Takes the run lock and, when a previous run was interrupted, undoes it:
// every file it appended to is cut back and the database restored from
// the backup, in that order, and the mark cleared only when all of that
// worked, so that otherwise the next run tries again. Only when every
// step is shown to be safe; if not, one message per cause says why and
// what the operator can do. forced (kestol --recover) restores the backup
// whatever it is (or keeps the database as it is when there is none) and
// leaves the files that cannot be cut as they are, saying so.
Failed lock_and_recover(RunContext& ctx, bool forced);

// The file in the open database folder that the next run reviews, as it
// stands now: the database, or, when a previous run was interrupted
// (*interrupted), the backup, which that run restores first. Reads the
// journal without taking the lock.
const char* next_run_source(int folder, bool* interrupted);
