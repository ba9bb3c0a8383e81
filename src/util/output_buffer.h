// A fixed buffer in front of a descriptor that a run writes in order: the
// spools of its announcements. A failed write sticks, so the caller can
// check once and name the file; it counts and checksums what it wrote, so
// that the journal can tell the spool later. Its fields are the business
// of the functions below alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/checksum.h"

struct OutputBuffer {
  int fd = -1;  // -1: no file
  char* data = nullptr;
  std::size_t capacity = 0;
  std::size_t used = 0;
  bool failed = false;
  int error = 0;             // errno of the write that failed
  std::int64_t written = 0;  // bytes that reached the file
  Checksum sum;              // their checksum
};

// A buffer of capacity bytes at data in front of fd.
OutputBuffer make_output(int fd, char* data, std::size_t capacity);

// Adds size bytes, writing the buffer out whenever it fills; false once
// any write to the file has failed.
bool put_output(OutputBuffer& out, const void* bytes, std::size_t size);
// Writes out everything buffered; false once any write has failed.
bool flush_output(OutputBuffer& out);

// The file's descriptor, -1 when there is none (or it was closed).
int output_fd(const OutputBuffer& out);
// Whether a write to the file has failed.
bool output_failed(const OutputBuffer& out);
// Closes the file unchecked, for one whose content no longer counts.
void release_output(OutputBuffer& out);
