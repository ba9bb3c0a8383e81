// The run as one transaction over wp.sys, mess.wp and the update file:
// the files of the record loop opened and journaled, the loop and the
// commit, and the undo after a failure or a stop signal.
#pragma once

#include "files/copy_file.h"
#include "run/failure.h"
#include "run/run_context.h"

// Opens mess.wp into the announcer, creating it only with create; a
// missing one is then not a failure, and *opened says whether it was.
Failed open_messages_file(RunContext& ctx, bool create, bool* opened);

// Opens the backup, the update file and, once the journal is set, the
// database for rewriting, so that nothing before can cost the database.
Failed open_loop_files(RunContext& ctx);

// Runs the record loop and commits its files: the announcements reach the
// disk first, then the database is cut to its new length and flushed, and
// only then is the journal cleared. A failure or a stop signal (stopped)
// while the journal is set leaves ctx.in_transaction set and nothing
// undone: the caller reports it, then calls undo_run.
Failed rewrite_database(RunContext& ctx);

// Commits a run whose files are written: marks the journal committed,
// rotates the generations (the backup becomes wp.old) and clears the
// journal. A failure here leaves the database complete.
Failed commit_run(RunContext& ctx);

// After a failure or a stop signal with the journal set: drops what is
// still buffered, cuts each appended file that was written back to its
// length before the run, and restores the database from the backup,
// writing the message of each step that fails. The mark stays set if any
// of that fails, so the next run tries again.
void undo_run(RunContext& ctx);

// kestol --restore=N: puts generation N back as the database, under the
// run lock and the journal as a run, the database it replaces becoming
// the newest generation. Announces nothing.
Failed restore_generation(RunContext& ctx);

// The failure of the backup copy, as copy_file answered.
Failed copy_failure(CopyResult result, const SiteConfig& config);

// Closes what the run still holds once it is committed.
void close_run_files(RunContext& ctx);
