// The system calls behind the tool's file operations, in one table. It
// defaults to the kernel's own calls; tests put a scripted table in its
// place to fail any call, or to end the process there as a kill would,
// without running the binary under a tracer.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <ctime>

struct flock;

struct SystemCalls {
  int (*openat)(int folder, const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*pread)(int fd, void* buffer, std::size_t size, off_t offset);
  ssize_t (*write)(int fd, const void* buffer, std::size_t size);
  ssize_t (*pwrite)(int fd, const void* buffer, std::size_t size, off_t offset);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t length);
  ssize_t (*copy_file_range)(int in, off_t* in_offset, int out, off_t* out_offset, std::size_t size,
                             unsigned flags);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*fstat)(int fd, struct stat* info);
  int (*fstatat)(int folder, const char* path, struct stat* info, int flags);
  ssize_t (*readlinkat)(int folder, const char* path, char* buffer, std::size_t size);
  ssize_t (*fgetxattr)(int fd, const char* name, void* value, std::size_t size);
  // renameat2: flags 0 or RENAME_NOREPLACE.
  int (*renameat2)(int from_folder, const char* from, int to_folder, const char* to, unsigned flags);
  int (*unlinkat)(int folder, const char* path, int flags);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*flock)(int fd, int operation);
  // fcntl's record locks (F_SETLK, F_GETLK and their open-file forms).
  int (*record_lock)(int fd, int command, struct flock* lock);
  // fcntl's F_SETFL.
  int (*set_status_flags)(int fd, int flags);
  // fcntl's F_DUPFD_CLOEXEC.
  int (*duplicate)(int fd);
  std::time_t (*time)(std::time_t* now);
};

// The table in use.
const SystemCalls& sys();
// The kernel's own calls.
const SystemCalls& kernel_calls();
// Puts table in place of the one in use (nullptr: the kernel's again).
void use_system_calls(const SystemCalls* table);
