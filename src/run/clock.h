// The start time of a run, as the run and the preview read it.
#pragma once

#include <cstdint>

#include "run/failure.h"

// Whether seconds can stand in the records' signed 32-bit times.
bool time_in_range(std::int64_t seconds);

// Reads the clock into *start. A 32-bit time_t cannot hold a time after
// 2038-01-19 03:14:07 UTC: the reading then fails with -1, which is out of
// range too (clock_out_of_range).
Failed read_start_time(std::int32_t* start);
