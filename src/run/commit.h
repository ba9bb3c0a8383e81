// The record loop of a run and its commit: the database complete and
// flushed, the spools flushed, where each announcement goes journaled, and
// then the way back completes the run.
#pragma once

#include "run/failure.h"
#include "run/run_context.h"

// Runs the record loop, refuses a run that drops more than --max-drop
// allows, and commits. A failure or a stop signal before the commit leaves
// the journal for the caller to settle; after it the run completes.
Failed rewrite_database(RunContext& ctx);

// Commits a rewritten database: the spools and the database reach the
// disk, records others appended meanwhile follow the rewritten ones, the
// journal says the run is committed, and the way back completes it.
Failed commit_run(RunContext& ctx);
