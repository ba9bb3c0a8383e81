// Backup generations in the database's folder: wp.old is the database as
// it was before the last run, wp.old.1 before the run before it, up to
// wp.old.K. A run copies the database to wp.new and, once committed,
// rotates by renames only: wp.old.(K-1) to wp.old.K, and so on down to
// wp.old to wp.old.1, then wp.new to wp.old. Each rename is whole, so after
// a crash every name holds a whole earlier state or is absent; the
// rotation is written to be taken up again where it stopped.
#pragma once

constexpr int kMostGenerations = 9;
constexpr char kNewBackupName[] = "wp.new";
// The generation that falls off the end of a full chain, kept for the
// next run's copy to be written over.
constexpr char kSpareName[] = "wp.spare";
// Room for "wp.old." and any int.
constexpr int kGenerationNameSize = 20;

// The name of generation n (0: wp.old).
void generation_name(int n, char (&name)[kGenerationNameSize]);

// Rotates the generations of folder and puts wp.new in as wp.old, keeping
// keep older ones, then flushes the folder to stable storage. Also takes up
// a rotation that a crash stopped: the renames already done are not made
// again (with wp.new gone there is nothing left to do). With keep of 1 or
// more, the one that falls off the end becomes the spare. False when a
// rename or the flush fails.
bool rotate_generations(int folder, int keep);
