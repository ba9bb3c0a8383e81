// The record loop: every whole record of the backup, reviewed and written.
#pragma once

#include "run/run_context.h"

enum class LoopResult { done, read_error, write_error };

LoopResult run_record_loop(RunContext& ctx);
