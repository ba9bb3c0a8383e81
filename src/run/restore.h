// kestol --restore=N: a generation put back as the database.
#pragma once

#include "run/failure.h"
#include "run/run_context.h"

// Puts generation N back as the database under the run lock and the
// journal, as a run: the database it replaces becomes wp.old and the
// generations move up, over the chain as it is (its oldest falls off, as in
// a run), unless --keep was given. Announces nothing.
Failed restore_generation(RunContext& ctx);
