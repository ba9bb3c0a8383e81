// The record loop: every whole record of the backup, reviewed and written.
#pragma once

#include "run/run_context.h"

enum class LoopResult { done, read_error, write_error, stopped };

// Reads the backup in blocks, reviews each record in place, and writes the
// kept ones of each block to the database in one write. write_error also
// covers a failed announcement (the announcer's buffers say which);
// stopped, a stop signal, seen between two records.
LoopResult run_record_loop(RunContext& ctx);
