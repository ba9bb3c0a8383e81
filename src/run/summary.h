// The run summary: counts on standard output and in the result file.
#pragma once

#include "run/run_context.h"

// Writes the summary to standard output, then rewrites the result file
// with the start time, the counts and the start and end stamps. A result
// file that cannot be created is passed over.
void write_summary(const RunContext& ctx);
