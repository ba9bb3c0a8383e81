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

struct Walk {
  WalkOptions options;
  OpenFolder folder;
  bool literal = true;  // what is shown follows the text of the path
  char (*shown)[kRealPathSize];
  char folder_shown[kRealPathSize] = {};  // the current folder, as shown
  int links = 0;
};

int pass_flags(const Walk& w) { return w.options.strict ? kFolderFlags : kPassFlags; }

void copy_text(char (&to)[kRealPathSize], const char* text, std::size_t length) {
  if (length >= sizeof to) length = sizeof to - 1;
  std::memcpy(to, text, length);
  to[length] = '\0';
}

// The real path of the current folder followed by name, and a separator.
void show_real(const Walk& w, const char* name, char (&out)[kRealPathSize]) {
  bool at_root = std::strcmp(w.folder.real, "/") == 0;
  join_text(out, sizeof out, {w.folder.real, at_root ? "" : "/", name, *name != '\0' ? "/" : ""});
}

WalkResult fail(const Walk& w) { return w.options.strict ? WalkResult::insecure : WalkResult::failed; }

bool trusted(const Walk& w, bool holds_files) {
  if (!w.options.strict) return true;
  struct stat st;
  return sys().fstat(w.folder.fd, &st) == 0 && folder_is_root_only(w.folder.fd, st, holds_files);
}

// Makes fd, whose real path is real, the current folder.
void move_to(Walk& w, int fd, const char* real, const char* shown) {
  if (w.folder.fd >= 0) close_fd(w.folder.fd);
  w.folder.fd = fd;
  if (real != w.folder.real) copy_text(w.folder.real, real, std::strlen(real));
  copy_text(w.folder_shown, shown, std::strlen(shown));
}

// The root, reached by climbing from the working directory rather than
// looked up by name: the root the working directory hangs from, also
// where a process sees its files through a path prefix (an emulator's
// guest root). -1 when a folder on the way cannot be opened.
int open_root(const Walk& w) {
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

WalkResult go_to_root(Walk& w) {
  int fd = open_root(w);
  if (fd < 0) {
    copy_text(*w.shown, "/", 1);
    return fail(w);
  }
  move_to(w, fd, "/", "/");
  if (!trusted(w, false)) {
    copy_text(*w.shown, "/", 1);
    return WalkResult::insecure;
  }
  return WalkResult::opened;
}

// Enters the folder name of the current one ("..": its parent).
WalkResult enter(Walk& w, const char* name, const char* shown) {
  int fd = sys().openat(w.folder.fd, name, pass_flags(w), 0);
  if (fd < 0) return fail(w);
  char real[kRealPathSize];
  if (std::strcmp(name, "..") == 0) {
    copy_text(real, w.folder.real, std::strlen(w.folder.real));
    char* slash = std::strrchr(real, '/');
    if (slash == real) slash[1] = '\0';
    if (slash != nullptr && slash != real) *slash = '\0';
  } else {
    bool at_root = std::strcmp(w.folder.real, "/") == 0;
    if (!join_text(real, sizeof real, {w.folder.real, at_root ? "" : "/", name})) {
      close_fd(fd);
      errno = ENAMETOOLONG;
      return fail(w);
    }
  }
  move_to(w, fd, real, shown);
  return trusted(w, false) ? WalkResult::opened : WalkResult::insecure;
}

// Walks path from the current folder. With file_name, the last component
// is a file: its name is put there (after following it when it is a link
// and links are followed). The folder reached is checked again as one
// that holds the run's files when holds_files is set.
WalkResult walk(Walk& w, const char* path, char (*file_name)[kNameSize], bool holds_files) {
  char rest[2 * kRealPathSize];
  if (std::strlen(path) >= kRealPathSize) {
    errno = ENAMETOOLONG;
    copy_text(*w.shown, path, std::strlen(path));
    return fail(w);
  }
  std::strcpy(rest, path);
  bool named = false;
  std::size_t at = 0;
  if (rest[0] == '/') {
    if (WalkResult r = go_to_root(w); r != WalkResult::opened) return r;
  }
  for (;;) {
    while (rest[at] == '/') ++at;
    if (rest[at] == '\0') break;
    std::size_t end = at;
    while (rest[end] != '\0' && rest[end] != '/') ++end;
    std::size_t next = end;
    while (rest[next] == '/') ++next;
    bool last = rest[next] == '\0';
    char name[kNameSize];
    if (end - at >= sizeof name) {
      errno = ENAMETOOLONG;
      copy_text(*w.shown, rest, end);
      return fail(w);
    }
    std::memcpy(name, rest + at, end - at);
    name[end - at] = '\0';
    bool is_file = last && file_name != nullptr;
    char shown[kRealPathSize];  // a folder with its separator, a file without
    if (w.literal) {
      char prefix[kRealPathSize];
      copy_text(prefix, rest, end);
      join_text(shown, sizeof shown, {prefix, is_file ? "" : "/"});
    } else {
      show_real(w, name, shown);
      if (is_file) shown[std::strlen(shown) - 1] = '\0';
    }
    if (!is_file && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)) {
      if (name[1] == '.') {
        if (WalkResult r = enter(w, name, shown); r != WalkResult::opened) {
          copy_text(*w.shown, shown, std::strlen(shown));
          return r;
        }
      }
      at = next;
      continue;
    }
    struct stat st;
    if (sys().fstatat(w.folder.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (is_file && errno == ENOENT) {  // a file the run is to create
        std::strcpy(*file_name, name);
        named = true;
        break;
      }
      copy_text(*w.shown, shown, std::strlen(shown));
      return fail(w);
    }
    if (S_ISLNK(st.st_mode)) {
      copy_text(*w.shown, shown, std::strlen(shown));
      if (w.options.strict && st.st_uid != 0) return WalkResult::insecure;
      if (!w.options.follow_links || ++w.links > kMaxLinks) {
        errno = ELOOP;
        return fail(w);
      }
      char target[kRealPathSize];
      ssize_t n = sys().readlinkat(w.folder.fd, name, target, sizeof target - 1);
      if (n <= 0) return fail(w);
      target[n] = '\0';
      char expanded[2 * kRealPathSize];
      if (!join_text(expanded, kRealPathSize, {target, rest + end})) {
        errno = ENAMETOOLONG;
        return fail(w);
      }
      std::strcpy(rest, expanded);
      at = 0;
      w.literal = false;
      if (rest[0] == '/') {
        if (WalkResult r = go_to_root(w); r != WalkResult::opened) return r;
      }
      continue;
    }
    if (is_file) {
      std::strcpy(*file_name, name);
      named = true;
      break;
    }
    if (WalkResult r = enter(w, name, shown); r != WalkResult::opened) {
      copy_text(*w.shown, shown, std::strlen(shown));
      return r;
    }
    at = next;
  }
  if (file_name != nullptr && !named) {
    errno = EISDIR;
    copy_text(*w.shown, w.folder_shown, std::strlen(w.folder_shown));
    return fail(w);
  }
  if (holds_files && !trusted(w, true)) {
    copy_text(*w.shown, w.folder_shown, std::strlen(w.folder_shown));
    return WalkResult::insecure;
  }
  return WalkResult::opened;
}

// Starts the walk of path: at the root for an absolute path, else at the
// working directory, which a strict walk reaches from the root so that
// every folder above it is examined too.
WalkResult start(Walk& w, const char* path) {
  if (path[0] == '/') return go_to_root(w);
  char cwd[kRealPathSize];
  if (::getcwd(cwd, sizeof cwd) == nullptr || cwd[0] != '/') {
    copy_text(*w.shown, "./", 2);
    return fail(w);
  }
  char cwd_shown[kRealPathSize];
  join_text(cwd_shown, sizeof cwd_shown, {cwd, std::strcmp(cwd, "/") == 0 ? "" : "/"});
  if (!w.options.strict) {
    int fd = sys().openat(AT_FDCWD, ".", pass_flags(w), 0);
    if (fd < 0) return WalkResult::failed;
    move_to(w, fd, cwd, cwd_shown);
    return WalkResult::opened;
  }
  Walk above = w;
  above.literal = false;
  above.options.follow_links = false;  // a real path has none
  WalkResult r = walk(above, cwd, nullptr, false);
  struct stat here, reached;
  if (r == WalkResult::opened &&
      (sys().fstatat(AT_FDCWD, ".", &here, 0) != 0 || sys().fstat(above.folder.fd, &reached) != 0 ||
       here.st_dev != reached.st_dev || here.st_ino != reached.st_ino)) {
    copy_text(*w.shown, cwd_shown, std::strlen(cwd_shown));
    r = WalkResult::insecure;  // moved while it was being walked
  }
  w.folder = above.folder;
  copy_text(w.folder_shown, cwd_shown, std::strlen(cwd_shown));
  return r;
}

// The folder reached, opened for reading where it was only passed through:
// its entries are synced to disk through it. One the run may search but
// not read stays as it is; syncing it then fails as it always did.
void open_for_reading(Walk& w) {
  if (w.options.strict) return;
  int fd = sys().openat(w.folder.fd, ".", kFolderFlags, 0);
  if (fd < 0) return;
  close_fd(w.folder.fd);
  w.folder.fd = fd;
}

}  // namespace

WalkResult open_folder(const char* path, const WalkOptions& options, OpenFolder* folder,
                       char (&shown)[kRealPathSize]) {
  Walk w;
  w.options = options;
  w.shown = &shown;
  shown[0] = '\0';
  WalkResult r = start(w, path);
  if (r == WalkResult::opened) r = walk(w, path, nullptr, true);
  if (r != WalkResult::opened) {
    close_folder(&w.folder);
    return r;
  }
  open_for_reading(w);
  *folder = w.folder;
  return r;
}

WalkResult open_file_folder(const char* path, const WalkOptions& options, OpenFolder* folder,
                            char (&name)[kNameSize], char (&shown)[kRealPathSize]) {
  Walk w;
  w.options = options;
  w.shown = &shown;
  shown[0] = '\0';
  WalkResult r = start(w, path);
  if (r == WalkResult::opened) r = walk(w, path, &name, true);
  if (r != WalkResult::opened) {
    close_folder(&w.folder);
    return r;
  }
  open_for_reading(w);
  *folder = w.folder;
  return r;
}

WalkResult open_file_folder_from(const OpenFolder& from, const char* path, bool strict, OpenFolder* folder,
                                 char (&name)[kNameSize], char (&shown)[kRealPathSize]) {
  Walk w;
  w.options = {strict, false};
  w.shown = &shown;
  w.literal = false;
  shown[0] = '\0';
  int fd = sys().openat(from.fd, ".", pass_flags(w), 0);
  if (fd < 0) return fail(w);
  move_to(w, fd, from.real, from.real);
  WalkResult r = walk(w, path, &name, true);
  if (r != WalkResult::opened) {
    close_folder(&w.folder);
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
