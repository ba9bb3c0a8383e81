// Whether a folder is safe for a run as root: nobody but root can add,
// remove or replace the files in it.
#pragma once

// False when path is owned by another user than root, or can be written
// by a group other than root's or by others. A folder that cannot be
// looked at is passed (the run's opens report it in their own words).
bool folder_is_root_only(const char* path);
