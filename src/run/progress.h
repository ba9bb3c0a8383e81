// Standard error during a run: buffered, and flushed at the points where
// the operator should see it, at most every tenth of a second during the
// record loop, and before the summary. The bytes are those of unbuffered
// writes; only the number of system calls changes (a large database can
// produce tens of thousands of progress and duplicate lines).
#pragma once

#include <cstdint>

// Gives standard error its buffer; call before anything is written to it.
void buffer_standard_error();
// Writes everything buffered on standard error.
void flush_standard_error();
// "\rRecord %ld" with total, flushed when the last flush is old enough.
void write_progress(std::int32_t total);
// "\rRecord %ld\n\n": the last count, once every record is reviewed.
void write_records_reviewed(std::int32_t total);
