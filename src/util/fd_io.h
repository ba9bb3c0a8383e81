// Descriptor I/O that retries interrupted calls and carries on after short
// counts, so that only a real error counts as a failure; and the checked
// opens that keep a run from being pointed at anything but a plain file.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Reads up to size bytes; answers the count (0 at end of file) or -1.
ssize_t read_some(int fd, void* buffer, std::size_t size);
// Reads until size bytes are in or the file ends; answers the count or -1.
ssize_t read_full(int fd, void* buffer, std::size_t size);
// Writes all size bytes; false on the first real error.
bool write_all(int fd, const void* buffer, std::size_t size);
// Reads at offset until size bytes are in or the file ends; the count or -1.
ssize_t pread_full(int fd, void* buffer, std::size_t size, off_t offset);
// Writes all size bytes at offset; false on the first real error.
bool pwrite_all(int fd, const void* buffer, std::size_t size, off_t offset);
// Copies length bytes (with length -1: to the end of in) from offset from
// of in to offset to of out: by the kernel where it can (which also lets
// copy-on-write file systems share the data), else through a 16 KiB
// buffer, which takes over where the kernel stops. With stoppable it gives
// up when a stop signal has arrived. Answers false on a failure or an early
// end, with errno set and *in_failed telling whether reading in failed;
// *copied (when given) is the count copied.
bool copy_bytes(int in, off_t from, int out, off_t to, std::int64_t length, bool stoppable, bool* in_failed,
                std::int64_t* copied = nullptr);
// fsync, retried when interrupted.
bool sync_fd(int fd);
// close, checked; an interrupted close is not retried (the descriptor is
// gone on Linux) and counts as done.
bool close_fd(int fd);
// Removes name from the open folder; true also when it was not there.
bool remove_file(int folder, const char* name);
// fsync of a folder: some file systems cannot sync one, which is no error.
bool sync_folder(int fd);

// How open_regular treats a symbolic link as the last part of the path.
enum class Links { refuse, follow };

// Opens path with flags (and mode when it creates it), never blocking on a
// FIFO or device, and answers the descriptor only when it is a regular
// file (and, with Links::refuse, not reached through a symbolic link);
// -1 otherwise, with errno 0 when the file was refused as a link or as
// anything but a regular file, since no system call failed. *info, when
// given, receives the file's status.
int open_regular(const char* path, int flags, mode_t mode, Links links, struct stat* info = nullptr);
// The same for name in the open folder (AT_FDCWD: the working directory).
int open_regular_at(int folder, const char* name, int flags, mode_t mode, Links links,
                    struct stat* info = nullptr);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so
// that no file the run opens can take their numbers.
void open_standard_descriptors();

// Same device and inode.
inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
