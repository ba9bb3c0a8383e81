// The commit's append of a run's spool to the file it announces to:
// mess.wp for update lines, the update file for records. It is written to
// be done again after a crash without writing anything twice, whatever
// others appended to the file since.
#pragma once

#include "files/journal.h"

// What the spool holds: the unit that others' appends also come in.
enum class SpoolUnit { line, record };

// Makes the open file hold the open spool of journaled file `index`, as
// the journal places it: from its byte moved_from on, at moved_at (at
// first the whole spool at the file's length before the commit). The
// spool's bytes that landed there already (some may read back as zeros
// where they never reached the disk, and are written again) stay, and the
// rest goes at the file's end; where others' bytes follow a part that
// landed, only whole units of it count as landed. When the rest cannot go
// right after what landed, the journal says where it goes first (a moved
// entry, in the lock file lock_fd), so that a crash in between finds it
// there. Flushes the file. False on a failure, with *spool_failed when the
// spool is not what the journal says (length and checksum) or cannot be
// read.
bool append_spool(int file, int spool, int lock_fd, Journal* journal, int index, SpoolUnit unit,
                  bool* spool_failed);
