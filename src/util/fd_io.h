// Descriptor I/O that retries interrupted calls and carries on after short
// counts, so that only a real error counts as a failure.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Reads up to size bytes; answers the count (0 at end of file) or -1.
ssize_t read_some(int fd, void* buffer, std::size_t size);
// Writes all size bytes; false on the first real error.
bool write_all(int fd, const void* buffer, std::size_t size);
// fsync, retried when interrupted.
bool sync_fd(int fd);
// close, checked; an interrupted close is not retried (the descriptor is
// gone on Linux) and counts as done.
bool close_fd(int fd);
// Flushes the directory that holds path to stable storage, so that a newly
// created entry in it survives a crash.
bool sync_parent_directory(const char* path);
