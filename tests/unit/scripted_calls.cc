// The scripted table of system calls and scripted runs.
#include "tests/unit/scripted_calls.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "run/run.h"
#include "util/system_calls.h"

namespace {

namespace fs = std::filesystem;

const Script* active = nullptr;
std::vector<int> counts;        // matching calls seen, per fault
std::FILE* log_file = nullptr;  // where the child notes its calls

std::string last_part(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? "" : "/";
  std::size_t slash = path.rfind('/', end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1,
                     end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

std::string path_of_fd(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n < 0) return "";
  target[n] = '\0';
  return target;
}

std::string name_at(int folder, const char* path) {
  if (path == nullptr) return "";
  if (path[0] == '/' || std::strcmp(path, ".") == 0 || std::strcmp(path, "..") == 0 || path[0] == '\0') {
    if (path[0] == '/') return last_part(path);
    return last_part(folder == AT_FDCWD ? "." : path_of_fd(folder));
  }
  return last_part(path);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// What a power cut would leave of the site: for each file, the bytes (and
// mode and time) it held when it was last synced; for each folder, the
// names it held then. Files are told apart by the inode they are on now,
// so that a file made anew on a freed inode is another file.
struct Durable {
  struct File {
    std::string bytes;
    struct stat st;
  };
  bool on = false;
  std::vector<File> files;
  std::map<ino_t, int> file_of;
  std::map<std::string, std::map<std::string, int>> names;  // folder: name, file
};
Durable durable;

// Keeps what the file at path holds now (empty: nothing) as what a cut
// leaves of the file on inode, a new one when it has none yet.
void keep(const std::string& path, ino_t inode, bool empty) {
  Durable::File file{empty ? "" : slurp(path), {}};
  ::stat(path.c_str(), &file.st);
  if (empty || durable.file_of.count(inode) == 0) {
    durable.file_of[inode] = static_cast<int>(durable.files.size());
    durable.files.push_back(file);
  } else {
    durable.files[durable.file_of[inode]] = file;
  }
}

// The regular files in folder, by name, with their inodes.
std::map<std::string, ino_t> listing(const std::string& folder) {
  std::map<std::string, ino_t> found;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    struct stat st;
    if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      found[entry.path().filename().string()] = st.st_ino;
    }
  }
  return found;
}

void sync_names(const std::string& folder) {
  auto& names = durable.names[folder];
  names.clear();
  for (const auto& [name, inode] : listing(folder)) {
    if (durable.file_of.count(inode) != 0) names[name] = durable.file_of[inode];
  }
}

void start_tracking(const std::string& root) {
  durable = Durable{};
  durable.on = true;
  std::string top = fs::canonical(root).string();
  durable.names[top];
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top)) {
    if (entry.is_directory() && !entry.is_symlink()) durable.names[entry.path().string()];
  }
  for (auto& [folder, names] : durable.names) {
    for (const auto& [name, inode] : listing(folder)) keep(folder + "/" + name, inode, false);
    sync_names(folder);
  }
}

// After a successful fsync of fd (and, with made, after fd was created):
// what it holds is what a cut leaves.
void note_synced(int fd, bool made = false) {
  struct stat st;
  if (!durable.on || ::fstat(fd, &st) != 0) return;
  std::string path = path_of_fd(fd);
  if (S_ISDIR(st.st_mode) && durable.names.count(path) != 0) sync_names(path);
  if (S_ISREG(st.st_mode) && (made || durable.file_of.count(st.st_ino) != 0)) {
    keep("/proc/self/fd/" + std::to_string(fd), st.st_ino, made);
  }
}

// What a cut leaves of a file that was synced with `synced` and holds
// `now`.
std::string after_cut(const std::string& synced, const std::string& now, int how) {
  if (how == PowerCut::lost) return synced;
  std::size_t kept = 0;
  if (how == PowerCut::torn)
    kept = std::min(std::max(synced.size(), now.size()) / 2 / 4096 * 4096, now.size());
  std::string bytes = now.substr(0, kept);
  if (synced.size() > kept) bytes += synced.substr(kept, now.size() - kept);
  bytes.resize(now.size(), '\0');
  return bytes;
}

// The power cut: every folder gets back the names it held when last
// synced, each with what a cut leaves of its file.
void cut_power(int how) {
  std::map<int, std::string> now;
  std::vector<std::string> gone;
  for (const auto& [folder, names] : durable.names) {
    for (const auto& [name, inode] : listing(folder)) {
      if (durable.file_of.count(inode) == 0) continue;
      std::string path = folder + "/" + name;
      now[durable.file_of[inode]] = slurp(path);
      gone.push_back(path);
    }
  }
  for (const std::string& path : gone) ::unlink(path.c_str());
  for (const auto& [folder, names] : durable.names) {
    for (const auto& [name, id] : names) {
      const Durable::File& file = durable.files[id];
      std::string path = folder + "/" + name;
      std::ofstream(path, std::ios::binary)
          << after_cut(file.bytes, now.count(id) != 0 ? now[id] : file.bytes, how);
      ::chmod(path.c_str(), file.st.st_mode & 07777);
      struct timespec times[2] = {file.st.st_mtim, file.st.st_mtim};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
  }
}

// What the script says of a call on files; false to make it as it is. On
// true, *result is the answer and errno is set.
enum class Verdict { go, fail, shorten };

Verdict judge(Call call, const std::string& a, const std::string& b = "") {
  if (active == nullptr) return Verdict::go;
  if (log_file != nullptr) std::fprintf(log_file, "%d %s\n", static_cast<int>(call), a.c_str());
  Verdict verdict = Verdict::go;
  for (std::size_t i = 0; i < active->faults.size(); ++i) {
    const Fault& f = active->faults[i];
    if ((f.call != call && f.call != Call::any) || (!f.file.empty() && f.file != a && f.file != b)) continue;
    int n = ++counts[i];
    if (n != f.nth && !(f.onwards && n > f.nth)) continue;
    switch (f.action) {
      case Action::power:
        cut_power(f.value);
        [[fallthrough]];
      case Action::kill:
        if (log_file != nullptr) std::fflush(log_file);
        _exit(128 + SIGKILL);
      case Action::signal:
        raise(f.value);
        break;
      case Action::hook:
        f.hook(f.target);
        break;
      case Action::fail:
        errno = f.value;
        verdict = Verdict::fail;
        break;
      case Action::shorten:
        verdict = Verdict::shorten;
        break;
    }
  }
  return verdict;
}

const SystemCalls& k() { return kernel_calls(); }

std::size_t shortened(std::size_t size) { return size > 1 ? size / 2 : size; }

const SystemCalls kScripted = {
    [](int folder, const char* path, int flags, mode_t mode) {
      if (judge(Call::openat, name_at(folder, path)) == Verdict::fail) return -1;
      struct stat st;
      bool existed = (flags & O_CREAT) == 0 || k().fstatat(folder, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
      int fd = k().openat(folder, path, flags, mode);
      if (fd >= 0 && !existed) note_synced(fd, true);
      return fd;
    },
    [](int fd) {
      std::string name = last_part(path_of_fd(fd));
      Verdict v = judge(Call::close, name);
      int saved = errno;
      int r = k().close(fd);  // made even when it fails, as the kernel does
      if (v == Verdict::fail) {
        errno = saved;
        return -1;
      }
      return r;
    },
    [](int fd, void* buffer, std::size_t size) -> ssize_t {
      Verdict v = judge(Call::read, last_part(path_of_fd(fd)));
      if (v == Verdict::fail) return -1;
      return k().read(fd, buffer, v == Verdict::shorten ? shortened(size) : size);
    },
    [](int fd, void* buffer, std::size_t size, off_t offset) -> ssize_t {
      Verdict v = judge(Call::pread, last_part(path_of_fd(fd)));
      if (v == Verdict::fail) return -1;
      return k().pread(fd, buffer, v == Verdict::shorten ? shortened(size) : size, offset);
    },
    [](int fd, const void* buffer, std::size_t size) -> ssize_t {
      Verdict v = judge(Call::write, last_part(path_of_fd(fd)));
      if (v == Verdict::fail) return -1;
      return k().write(fd, buffer, v == Verdict::shorten ? shortened(size) : size);
    },
    [](int fd, const void* buffer, std::size_t size, off_t offset) -> ssize_t {
      Verdict v = judge(Call::pwrite, last_part(path_of_fd(fd)));
      if (v == Verdict::fail) return -1;
      return k().pwrite(fd, buffer, v == Verdict::shorten ? shortened(size) : size, offset);
    },
    [](int fd) {
      if (judge(Call::fsync, last_part(path_of_fd(fd))) == Verdict::fail) return -1;
      int r = k().fsync(fd);
      if (r == 0) note_synced(fd);
      return r;
    },
    [](int fd, off_t length) {
      return judge(Call::ftruncate, last_part(path_of_fd(fd))) == Verdict::fail ? -1
                                                                                : k().ftruncate(fd, length);
    },
    [](int in, off_t* in_offset, int out, off_t* out_offset, std::size_t size, unsigned flags) -> ssize_t {
      Verdict v = judge(Call::copy_file_range, last_part(path_of_fd(out)), last_part(path_of_fd(in)));
      if (v == Verdict::fail) return -1;
      return k().copy_file_range(in, in_offset, out, out_offset,
                                 v == Verdict::shorten ? shortened(size) : size, flags);
    },
    [](int fd, off_t offset, int whence) -> off_t {
      return judge(Call::lseek, last_part(path_of_fd(fd))) == Verdict::fail ? -1
                                                                            : k().lseek(fd, offset, whence);
    },
    [](int fd, struct stat* info) {
      return judge(Call::fstat, last_part(path_of_fd(fd))) == Verdict::fail ? -1 : k().fstat(fd, info);
    },
    [](int folder, const char* path, struct stat* info, int flags) {
      return judge(Call::fstatat, name_at(folder, path)) == Verdict::fail
                 ? -1
                 : k().fstatat(folder, path, info, flags);
    },
    [](int folder, const char* path, char* buffer, std::size_t size) -> ssize_t {
      return judge(Call::readlinkat, name_at(folder, path)) == Verdict::fail
                 ? -1
                 : k().readlinkat(folder, path, buffer, size);
    },
    [](int fd, const char* name, void* value, std::size_t size) -> ssize_t {
      return judge(Call::fgetxattr, last_part(path_of_fd(fd))) == Verdict::fail
                 ? -1
                 : k().fgetxattr(fd, name, value, size);
    },
    [](int from_folder, const char* from, int to_folder, const char* to, unsigned flags) {
      return judge(Call::renameat2, name_at(from_folder, from), name_at(to_folder, to)) == Verdict::fail
                 ? -1
                 : k().renameat2(from_folder, from, to_folder, to, flags);
    },
    [](int folder, const char* path, int flags) {
      return judge(Call::unlinkat, name_at(folder, path)) == Verdict::fail
                 ? -1
                 : k().unlinkat(folder, path, flags);
    },
    [](int fd, mode_t mode) {
      return judge(Call::fchmod, last_part(path_of_fd(fd))) == Verdict::fail ? -1 : k().fchmod(fd, mode);
    },
    [](int fd, uid_t owner, gid_t group) {
      return judge(Call::fchown, last_part(path_of_fd(fd))) == Verdict::fail ? -1
                                                                             : k().fchown(fd, owner, group);
    },
    [](int fd, int operation) {
      return judge(Call::flock, last_part(path_of_fd(fd))) == Verdict::fail ? -1 : k().flock(fd, operation);
    },
    [](int fd, int command, struct flock* lock) {
      return judge(Call::record_lock, last_part(path_of_fd(fd))) == Verdict::fail
                 ? -1
                 : k().record_lock(fd, command, lock);
    },
    [](int fd, int flags) {
      return judge(Call::set_status_flags, last_part(path_of_fd(fd))) == Verdict::fail
                 ? -1
                 : k().set_status_flags(fd, flags);
    },
    [](int fd) {
      return judge(Call::duplicate, last_part(path_of_fd(fd))) == Verdict::fail ? -1 : k().duplicate(fd);
    },
    [](std::time_t* now) {
      std::time_t t = active != nullptr ? active->now : k().time(nullptr);
      if (now != nullptr) *now = t;
      return t;
    },
};

}  // namespace

void note_synced_elsewhere(const std::string& path) {
  struct stat st;
  if (durable.on && ::stat(path.c_str(), &st) == 0 && durable.file_of.count(st.st_ino) != 0) {
    keep(path, st.st_ino, false);
  }
}

const char* call_name(Call call) {
  static const char* const names[] = {"any",         "openat",
                                      "close",       "read",
                                      "pread",       "write",
                                      "pwrite",      "fsync",
                                      "ftruncate",   "copy_file_range",
                                      "lseek",       "fstat",
                                      "fstatat",     "readlinkat",
                                      "fgetxattr",   "renameat2",
                                      "unlinkat",    "fchmod",
                                      "fchown",      "flock",
                                      "record_lock", "set_status_flags",
                                      "duplicate"};
  return names[static_cast<int>(call)];
}

RunResult run_scripted(const Site& site, const std::vector<std::string>& args, const Script& script,
                       const char* tz) {
  // Beside the site, not in it: the tests compare what is in it.
  std::string out = site.root() + ".out", err = site.root() + ".err", calls = site.root() + ".calls";
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || chdir(site.root().c_str()) != 0) _exit(126);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    ::close(out_fd);
    ::close(err_fd);
    setenv("TZ", tz, 1);
    tzset();
    if (script.log != nullptr) log_file = std::fopen(calls.c_str(), "w");
    active = &script;
    counts.assign(script.faults.size(), 0);
    for (const Fault& f : script.faults) {
      if (f.action == Action::power) start_tracking(".");
    }
    use_system_calls(&kScripted);
    std::vector<std::string> words = {"kestol"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int status = run_kestol(static_cast<int>(words.size()), argv.data());
    std::fflush(nullptr);
    _exit(status);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = slurp(out);
  result.err = slurp(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  if (script.log != nullptr) {
    script.log->clear();
    std::istringstream lines(slurp(calls));
    int kind;
    std::string file;
    while (lines >> kind && std::getline(lines >> std::ws, file))
      script.log->push_back({static_cast<Call>(kind), file});
    std::remove(calls.c_str());
  }
  return result;
}
