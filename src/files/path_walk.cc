// Walking a path with a folder descriptor in hand.
#include "files/path_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/safe_folder.h"
#include "util/fd_io.h"
#include "util/join_text.h"
#include "util/system_calls.h"

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows on one lookup
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Folders on the way only need to be searched, as any lookup does: a run
// that is not root's may pass through one it cannot list. A strict walk
// reads the ACL of each, which takes a descriptor opened for reading (and
// root may read any folder).
constexpr int kPassFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A walk under way: where it stands and what is left of the path.
struct Walker {
  Walk walk;
  OpenFolder folder;
  bool literal = true;  // what is shown follows the text of the path
  char folder_shown[kRealPathSize] = {};
  char (*shown)[kRealPathSize] = nullptr;
  int links = 0;
  char rest[2 * kRealPathSize] = {};
  std::size_t at = 0;
};

// 12 KiB: kept off the stack, and at namespace scope so that it needs no
// guard (which would pull the C++ runtime library into the program).
Walker walker;

int pass_flags(const Walker& w) { return w.walk.strict ? kFolderFlags : kPassFlags; }

void copy_text(char (&to)[kRealPathSize], const char* text, std::size_t length) {
  if (length >= sizeof to) length = sizeof to - 1;
  std::memmove(to, text, length);
  to[length] = '\0';
}

// A failure at what: a component that does not exist, or is no folder,
// fails any walk alike; anything else a strict walk cannot examine is
// refused as insecure.
WalkResult fail(Walker& w, const char* what) {
  int error = errno;
  copy_text(*w.shown, what, std::strlen(what));
  errno = error;
  bool missing = error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
  return w.walk.strict && !missing ? WalkResult::insecure : WalkResult::failed;
}

WalkResult refuse(Walker& w, const char* what, WalkResult result) {
  copy_text(*w.shown, what, std::strlen(what));
  errno = 0;
  return result;
}

bool trusted(const Walker& w, bool holds_files) {
  if (!w.walk.strict) return true;
  struct stat st;
  return sys().fstat(w.folder.fd, &st) == 0 && folder_is_root_only(w.folder.fd, st, holds_files);
}

// Makes fd, whose real path is real, the folder the walk stands in.
void move_to(Walker& w, int fd, const char* real, const char* shown) {
  if (w.folder.fd >= 0) close_fd(w.folder.fd);
  w.folder.fd = fd;
  if (real != w.folder.real) copy_text(w.folder.real, real, std::strlen(real));
  copy_text(w.folder_shown, shown, std::strlen(shown));
}

// The root, reached by climbing from the working directory rather than
// looked up by name: the root the working directory hangs from, also
// where a process sees its files through a path prefix (an emulator's
// guest root). -1 when a folder on the way cannot be opened.
int open_root(const Walker& w) {
  int fd = sys().openat(AT_FDCWD, ".", pass_flags(w), 0);
  for (int depth = 0; fd >= 0 && depth < 4096; ++depth) {
    int parent = sys().openat(fd, "..", pass_flags(w), 0);
    struct stat here, above;
    bool top = parent >= 0 && sys().fstat(fd, &here) == 0 && sys().fstat(parent, &above) == 0 &&
               here.st_dev == above.st_dev && here.st_ino == above.st_ino;
    close_fd(fd);
    fd = parent;
    if (top) return fd;
  }
  if (fd >= 0) close_fd(fd);
  return -1;
}

WalkResult go_to_root(Walker& w) {
  int fd = open_root(w);
  if (fd < 0) return fail(w, "/");
  move_to(w, fd, "/", "/");
  return trusted(w, false) ? WalkResult::opened : refuse(w, "/", WalkResult::insecure);
}

// Enters the folder name of the current one ("..": its parent), shown as
// shown.
WalkResult enter(Walker& w, const char* name, const char* shown) {
  int fd = sys().openat(w.folder.fd, name, pass_flags(w), 0);
  if (fd < 0) return fail(w, shown);
  char real[kRealPathSize];
  bool at_root = std::strcmp(w.folder.real, "/") == 0;
  if (std::strcmp(name, "..") == 0) {
    copy_text(real, w.folder.real, std::strlen(w.folder.real));
    char* slash = std::strrchr(real, '/');
    if (slash != nullptr) slash[slash == real ? 1 : 0] = '\0';
  } else if (!join_text(real, sizeof real, {w.folder.real, at_root ? "" : "/", name})) {
    close_fd(fd);
    errno = ENAMETOOLONG;
    return fail(w, shown);
  }
  move_to(w, fd, real, shown);
  return trusted(w, false) ? WalkResult::opened : refuse(w, shown, WalkResult::insecure);
}

// The next component of what is left, in name; *last when nothing follows
// it, *end where it ends. False when it is too long.
bool next_component(Walker& w, char (&name)[kNameSize], bool* last, std::size_t* end) {
  std::size_t stop = w.at;
  while (w.rest[stop] != '\0' && w.rest[stop] != '/') ++stop;
  std::size_t next = stop;
  while (w.rest[next] == '/') ++next;
  *last = w.rest[next] == '\0';
  *end = stop;
  if (stop - w.at >= sizeof name) return false;
  std::memcpy(name, w.rest + w.at, stop - w.at);
  name[stop - w.at] = '\0';
  return true;
}

// How a component shows in a message: as the path spells it up to there
// while no link has been followed, else by its real path; a folder with
// its separator, a file without.
void show_component(const Walker& w, const char* name, std::size_t end, bool is_file,
                    char (&out)[kRealPathSize]) {
  if (w.literal) {
    char prefix[kRealPathSize];
    copy_text(prefix, w.rest, end);
    join_text(out, sizeof out, {prefix, is_file ? "" : "/"});
  } else {
    bool at_root = std::strcmp(w.folder.real, "/") == 0;
    join_text(out, sizeof out, {w.folder.real, at_root ? "" : "/", name, is_file ? "" : "/"});
  }
}

// Puts the target of the link name in place of the components walked so
// far, up to end.
WalkResult follow_link(Walker& w, const char* name, std::size_t end, const char* shown) {
  if (!w.walk.follow_links || ++w.links > kMaxLinks) {
    errno = ELOOP;
    return fail(w, shown);
  }
  char target[kRealPathSize];
  ssize_t n = sys().readlinkat(w.folder.fd, name, target, sizeof target - 1);
  if (n <= 0) return fail(w, shown);
  target[n] = '\0';
  char expanded[2 * kRealPathSize];
  if (!join_text(expanded, kRealPathSize, {target, w.rest + end})) {
    errno = ENAMETOOLONG;
    return fail(w, shown);
  }
  std::strcpy(w.rest, expanded);
  w.at = 0;
  w.literal = false;
  return w.rest[0] == '/' ? go_to_root(w) : WalkResult::opened;
}

// Walks what is left of the path from where the walk stands.
WalkResult walk_components(Walker& w, char (&file)[kNameSize]) {
  for (;;) {
    char name[kNameSize];
    bool last = false;
    std::size_t end = 0;
    while (w.rest[w.at] == '/') ++w.at;
    if (w.rest[w.at] == '\0') break;
    bool fits = next_component(w, name, &last, &end);
    bool is_file = last && w.walk.names_file;
    char shown[kRealPathSize];
    show_component(w, fits ? name : "", end, is_file, shown);
    if (!fits) {
      errno = ENAMETOOLONG;
      return fail(w, shown);
    }
    std::size_t next = end;
    while (w.rest[next] == '/') ++next;
    if (!is_file && std::strcmp(name, ".") == 0) {
      w.at = next;
      continue;
    }
    if (!is_file && std::strcmp(name, "..") == 0) {
      if (WalkResult r = enter(w, name, shown); r != WalkResult::opened) return r;
      w.at = next;
      continue;
    }
    struct stat st;
    if (sys().fstatat(w.folder.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (!is_file || errno != ENOENT) return fail(w, shown);
      st.st_mode = S_IFREG;  // a file the run is to create
    }
    if (S_ISLNK(st.st_mode)) {
      if (w.walk.strict && st.st_uid != 0) {
        return refuse(w, shown, is_file ? WalkResult::insecure_file : WalkResult::insecure);
      }
      if (WalkResult r = follow_link(w, name, end, shown); r != WalkResult::opened) return r;
      continue;
    }
    if (is_file) {
      std::strcpy(file, name);
      return WalkResult::opened;
    }
    if (WalkResult r = enter(w, name, shown); r != WalkResult::opened) return r;
    w.at = next;
  }
  if (w.walk.names_file) {
    errno = EISDIR;
    return fail(w, w.folder_shown);
  }
  return WalkResult::opened;
}

// Where the walk starts: the folder it is given, the root for an absolute
// path, else the working directory, which a strict walk reaches from the
// root so that every folder above it is examined too.
WalkResult start(Walker& w) {
  if (w.walk.from != nullptr) {
    int fd = sys().openat(w.walk.from->fd, ".", pass_flags(w), 0);
    if (fd < 0) return fail(w, w.walk.from->real);
    move_to(w, fd, w.walk.from->real, w.walk.from->real);
    w.literal = false;
    return WalkResult::opened;
  }
  if (w.rest[0] == '/') return go_to_root(w);
  char cwd[kRealPathSize];
  if (::getcwd(cwd, sizeof cwd) == nullptr || cwd[0] != '/') return fail(w, "./");
  char cwd_shown[kRealPathSize];
  join_text(cwd_shown, sizeof cwd_shown, {cwd, std::strcmp(cwd, "/") == 0 ? "" : "/"});
  if (!w.walk.strict) {
    int fd = sys().openat(AT_FDCWD, ".", pass_flags(w), 0);
    if (fd < 0) return fail(w, cwd_shown);
    move_to(w, fd, cwd, cwd_shown);
    return WalkResult::opened;
  }
  Walker above;
  above.walk = {cwd, nullptr, true, false, false};  // a real path has no links
  above.literal = false;
  above.shown = w.shown;
  std::strcpy(above.rest, cwd);
  char unused[kNameSize];
  WalkResult r = go_to_root(above);
  if (r == WalkResult::opened) r = walk_components(above, unused);
  struct stat here, reached;
  if (r == WalkResult::opened && (sys().fstatat(AT_FDCWD, ".", &here, 0) != 0 ||
                                  sys().fstat(above.folder.fd, &reached) != 0 || !same_file(here, reached))) {
    r = refuse(w, cwd_shown, WalkResult::insecure);  // moved while it was being walked
  }
  w.folder = above.folder;
  copy_text(w.folder_shown, cwd_shown, std::strlen(cwd_shown));
  return r;
}

// The folder reached, opened for reading where it was only passed through:
// its entries are synced to disk through it. One the run may search but
// not read stays as it is; syncing it then fails as it always did.
void open_for_reading(Walker& w) {
  if (w.walk.strict) return;
  int fd = sys().openat(w.folder.fd, ".", kFolderFlags, 0);
  if (fd < 0) return;
  close_fd(w.folder.fd);
  w.folder.fd = fd;
}

}  // namespace

WalkResult walk_path(const Walk& walk, OpenFolder* folder, char (&name)[kNameSize],
                     char (&shown)[kRealPathSize]) {
  Walker& w = walker;
  w = Walker{};
  w.walk = walk;
  w.shown = &shown;
  shown[0] = '\0';
  if (std::strlen(walk.path) >= kRealPathSize) {
    errno = ENAMETOOLONG;
    return fail(w, walk.path);
  }
  std::strcpy(w.rest, walk.path);
  WalkResult r = start(w);
  if (r == WalkResult::opened) r = walk_components(w, name);
  // The folder reached holds the run's files.
  if (r == WalkResult::opened && !trusted(w, true)) r = refuse(w, w.folder_shown, WalkResult::insecure);
  if (r != WalkResult::opened) {
    int error = errno;
    close_folder(&w.folder);
    errno = error;
    return r;
  }
  open_for_reading(w);
  *folder = w.folder;
  return r;
}

bool relative_path(const char* from, const char* to, char* out, std::size_t size) {
  // The longest common run of whole components.
  std::size_t common = 0;
  for (std::size_t i = 0;; ++i) {
    bool from_end = from[i] == '\0' || from[i] == '/';
    bool to_end = to[i] == '\0' || to[i] == '/';
    if (from_end && to_end) common = i;
    if (from[i] == '\0' || to[i] == '\0' || from[i] != to[i]) break;
  }
  std::size_t used = 0;
  auto put = [&](const char* text, std::size_t length) {
    if (used + length >= size) return false;
    std::memcpy(out + used, text, length);
    used += length;
    return true;
  };
  for (const char* p = from + common; *p != '\0'; ++p) {
    if (*p == '/' && p[1] != '\0' && !put("../", 3)) return false;
  }
  const char* tail = to + common;
  while (*tail == '/') ++tail;
  if (!put(tail, std::strlen(tail))) return false;
  out[used] = '\0';
  return true;
}

void close_folder(OpenFolder* folder) {
  if (folder->fd >= 0) close_fd(folder->fd);
  folder->fd = -1;
}
