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
  insecure,       // strict: a folder or link on the way others could change, or that cannot be examined
  insecure_file,  // strict: the file named last is a link others could change
  failed,         // a component is missing or not a folder, or (not strict) cannot be opened (errno)
};

struct Walk {
  const char* path;        // relative paths from `from`
  const OpenFolder* from;  // nullptr: the working directory (for a strict walk, reached from the root)
  bool strict;             // the checks of a run as root
  bool follow_links;       // false: any symbolic link on the way fails
  bool names_file;         // the last component is a file, whose name is given back
};

// Opens the folder that walk.path names, or with names_file the folder
// holding the file it names, that file's name going to *name (after
// following it when it is a link and links are followed; a file that does
// not exist yet is named all the same). The folder reached counts as
// holding the run's files. On a failure, shown names what failed: as the
// path spells it while no link has been followed, by its real path after.
WalkResult walk_path(const Walk& walk, OpenFolder* folder, char (&name)[kNameSize],
                     char (&shown)[kRealPathSize]);

// The path of to (a real path) relative to the real folder from, with
// ".." where needed; false when it does not fit size bytes.
bool relative_path(const char* from, const char* to, char* out, std::size_t size);

// Closes the folder's descriptor, if open.
void close_folder(OpenFolder* folder);
