// The names of the run's own files in the database's folder, in one place:
// the database, its backups, the announcements and what a run keeps while
// it works. Every part of the tool that opens, checks or refuses one of
// them takes its name from here.
#pragma once

constexpr char kDatabaseName[] = "wp.sys";
constexpr char kBackupName[] = "wp.old";     // generation 0, the database before the last run
constexpr char kNewBackupName[] = "wp.new";  // the copy a run reviews, wp.old once committed
constexpr char kAddedName[] = "wp.add";      // records others appended during a run, while they move
constexpr char kMessagesName[] = "mess.wp";
constexpr char kLockName[] = "kestol.lck";  // the run lock and the journal
// What a run announces, kept until its commit appends it to mess.wp and
// to the update file.
constexpr char kMessagesSpoolName[] = "mess.spool";
constexpr char kUpdateSpoolName[] = "update.spool";
// The spools in the order of the files they go to: mess.wp, then the
// update file.
constexpr const char* kSpoolNames[] = {kMessagesSpoolName, kUpdateSpoolName};

// Generations: wp.old, then wp.old.1 to wp.old.9.
constexpr int kMostGenerations = 9;
// Room for "wp.old." and any int.
constexpr int kGenerationNameSize = 20;

// The name of generation n (0: wp.old).
void generation_name(int n, char (&name)[kGenerationNameSize]);

// Whether name is one of the above, a generation included.
bool is_own_name(const char* name);

// Whether a working file of the run (wp.new, wp.add, the spools or an older
// generation) in the open folder is anything but a regular file or absent,
// or any of them or wp.old cannot be looked at (errno set; 0 when it was
// looked at); *name is then its name. The run renames, writes and removes
// these by name, so it must refuse such a file rather than move or remove
// it. *generations gets the generations that exist, bit N for wp.old.N.
bool find_irregular_working_file(int folder, char (&name)[kGenerationNameSize], unsigned* generations);

// Whether the file st describes is one of the own files in the open
// folder, by any name: appending to one of them would corrupt it.
struct stat;
bool is_own_file(int folder, const struct stat& st);
