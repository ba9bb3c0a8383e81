// Announcement of a pending update: the whole record appended to the
// update file, and an update line appended to mess.wp.
#pragma once

#include "records/wp_record.h"
#include "run/run_context.h"

// Appends record to the update file when one is open, and for the update
// kinds U, G and I writes its update line to mess.wp and counts it.
void announce_update(RunContext& ctx, const WpRecord& record);
