// Backup generations in the database's folder: wp.old is the database as
// it was before the last committed run, wp.old.N before the Nth committed
// run before it, up to the run's keep. A run copies the database to wp.new
// and, once committed, rotates by renames that never land on an existing
// name: wp.old.keep falls off, each wp.old.N below it moves up to N+1, and
// wp.new becomes wp.old. The chain as it stood at the commit is journaled,
// so a rotation a crash stopped is taken up exactly where it stopped.
#pragma once

#include "files/file_names.h"

// Rotates the generations of folder, present being the chain as it stood
// at the commit (nothing above keep), then flushes the folder to stable
// storage. Where a crash stopped an earlier attempt, the names that exist
// tell which steps are done; the others follow. False when a look, a
// removal, a rename or the flush fails, or the names fit no step of this
// rotation (errno 0 then); *failed is then the name it failed on (empty:
// the folder).
bool rotate_generations(int folder, int keep, unsigned present, char (&failed)[kGenerationNameSize]);

// Renames from to to in the open folder, never replacing a file already
// called to (EEXIST); where the file system cannot rename that way, the
// name is looked at just before a plain rename.
bool rename_to_new_name(int folder, const char* from, const char* to);
