// The run summary: counts on standard output and in the result file.
#pragma once

#include "run/run_context.h"

// Writes the counts to standard output, as a run ends.
void write_summary_counts(const RunCounters& counters);

// Writes the summary to standard output, then rewrites the result file
// with the start time, the counts and the start and end stamps. A result
// file that cannot be created is passed over.
void write_summary(const RunContext& ctx);
