// The review of one record: normalise it, decide whether it stays, promote
// a stable temporary part and announce a pending update.
#pragma once

#include "records/wp_record.h"
#include "run/run_context.h"

enum ReviewAnswer { kDrop = 0, kKeep = 1, kKeepUpdated = 2 };

// Reviews record in place with the options, thresholds, duplicate table
// and announcement files of ctx; answers drop, keep or keep-updated.
int review_record(RunContext& ctx, WpRecord* record);
