// Where the run's files are: init.srv, the database's folder and the
// update file's, each resolved once and held open, with the checks of a
// run as root.
#pragma once

#include "run/failure.h"
#include "run/run_context.h"

// Opens init.srv into *fd (-1 when it cannot be opened, which reading it
// reports). As root, the working directory, every folder on the way to it
// and through the links to init.srv, and init.srv itself must be root's
// alone: anyone else who could change it could point the run at any
// database of the machine.
Failed open_init(RunContext& ctx, int* fd);

// Reads init.srv, open as init (-1: it could not be opened, with errno
// open_error), into config with the thresholds of start and the day counts
// of options.
Failed read_configuration(int init, int open_error, std::int32_t start, const RunOptions& options,
                          SiteConfig* config);

// Opens the database's folder, and the update file's, once: every file of
// the run is then opened from them by name, so that replacing a folder or
// a link later changes nothing the run touches. As root, every folder on
// the way must be root's alone: anyone else who could write there could
// point the run's files at any file of the machine. A folder that is not
// there (or, for a run not root's, cannot be opened) shows later as the
// failed open of the first file the run needs there.
Failed open_folders(RunContext& ctx);
