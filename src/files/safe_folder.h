// Who besides a file's owner can change it: the mode bits and the POSIX
// ACL. A run as root trusts a folder only when nobody but root can add,
// remove or replace the entries in it.
#pragma once

#include <sys/stat.h>

// True when anyone but the owner of the open file fd (whose status is st)
// can write it: group or other write bits, or an ACL entry that grants
// write to another user, a group or others. With root_group_trusted, write
// for root's group counts as the owner's. An ACL that cannot be read counts
// as granting write.
bool writable_by_others(int fd, const struct stat& st, bool root_group_trusted);

// True when the open folder fd (status st) may be trusted by a run as
// root: owned by root and writable by nobody else. A folder that others
// may write passes only when it is root's, sticky (nobody else can then
// rename or remove root's entries in it, as in /tmp) and does not itself
// hold the run's files (holds_files false). A folder that holds the
// run's files must also give no one else write on the files created in it
// through a default ACL.
bool folder_is_root_only(int fd, const struct stat& st, bool holds_files);
