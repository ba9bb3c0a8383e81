// The start of a run's transaction: the files it appends to opened (or
// created) where a run always opened them, the generations checked, the
// backup made, and the files of the record loop opened and journaled
// before the database is touched.
#pragma once

#include "files/copy_file.h"
#include "run/failure.h"
#include "run/run_context.h"

// Opens mess.wp to learn early that it can be written; nothing is
// appended to it before the commit. A missing one is created only with
// create, once the run holds its locks and nothing has refused it, so
// that a refused run leaves none behind.
Failed open_messages_file(RunContext& ctx, bool create);

// Finds the generations, refusing a chain longer than the run keeps: a
// run with a smaller --keep than the site's would lose the oldest ones.
Failed check_generations(RunContext& ctx, int keep);

// Copies the database to wp.new, the backup the run reviews.
Failed make_backup(RunContext& ctx);

// Opens the backup, the update file and the spools, writes the journal's
// begin entry, and only then opens the database for rewriting.
Failed open_loop_files(RunContext& ctx);

// The failure of the backup copy, as copy_file answered, failed_name
// being the file whose call failed.
Failed copy_failure(CopyResult result, const SiteConfig& config, const char* failed_name);
