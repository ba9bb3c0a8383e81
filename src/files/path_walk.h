// Resolving a path one component at a time, holding each folder open, so
// that what was examined is what gets used: nothing is looked up by name
// twice. A run as root walks strictly: every folder on the way, from the
// root down and through the targets of symbolic links, and every link,
// must be root's and writable by nobody else (see files/safe_folder.h).
#pragma once

#include <cstddef>

constexpr std::size_t kRealPathSize = 4096;
constexpr std::size_t kNameSize = 256;

// An open folder and its path without links, from the root.
struct OpenFolder {
  int fd = -1;
  char real[kRealPathSize] = {};
};

enum class WalkResult {
  opened,
  insecure,  // strict: a folder or link others could change, or one that cannot be examined
  failed,    // not strict: a component is missing, not a folder, or cannot be opened (errno)
};

struct WalkOptions {
  bool strict;        // the checks of a run as root
  bool follow_links;  // false: any symbolic link on the way fails
};

// Opens the folder that path names (relative paths from the working
// directory). On insecure, shown names the folder that failed: as the
// path spells it while no link has been followed, by its real path after.
WalkResult open_folder(const char* path, const WalkOptions& options, OpenFolder* folder,
                       char (&shown)[kRealPathSize]);

// Opens the folder that holds the file path names and gives the file's
// own name in it: a symbolic link as the last component is followed when
// options allow (it is then the target's folder and name). The folder
// holding the file counts as holding the run's files.
WalkResult open_file_folder(const char* path, const WalkOptions& options, OpenFolder* folder,
                            char (&name)[kNameSize], char (&shown)[kRealPathSize]);

// Like open_file_folder for a path relative to the open folder from (".."
// allowed), without following any link.
WalkResult open_file_folder_from(const OpenFolder& from, const char* path, bool strict, OpenFolder* folder,
                                 char (&name)[kNameSize], char (&shown)[kRealPathSize]);

// The path of to (a real path) relative to the real folder from, with
// ".." where needed; false when it does not fit size bytes.
bool relative_path(const char* from, const char* to, char* out, std::size_t size);

// Closes the folder's descriptor, if open.
void close_folder(OpenFolder* folder);
