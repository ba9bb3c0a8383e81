// A fixed buffer in front of a descriptor that a run writes in order: the
// files it appends to. A failed write sticks, so the caller can check once
// and name the file; what is still buffered can be dropped unwritten.
#pragma once

#include <cstddef>

struct OutputBuffer {
  int fd = -1;  // -1: no file
  char* data = nullptr;
  std::size_t capacity = 0;
  std::size_t used = 0;
  bool failed = false;
  // Called once, with the bytes of the first write to the file, before it
  // is made; a false answer fails that write.
  bool (*before_first_write)(void* target, const void* bytes, std::size_t size) = nullptr;
  void* target = nullptr;
  bool written = false;  // something reached the file
};

// Adds size bytes, writing the buffer out whenever it fills; false once
// any write to the file has failed.
bool put_output(OutputBuffer& out, const void* bytes, std::size_t size);
// Writes out everything buffered; false once any write has failed.
bool flush_output(OutputBuffer& out);
