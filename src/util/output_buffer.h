// A fixed buffer in front of a descriptor that a run writes in order: the
// files it appends to. A failed write sticks, so the caller can check once
// and name the file; what is still buffered can be dropped unwritten. Its
// fields are the business of the functions below alone.
#pragma once

#include <cstddef>

struct OutputBuffer {
  int fd = -1;  // -1: no file
  char* data = nullptr;
  std::size_t capacity = 0;
  std::size_t used = 0;
  bool failed = false;
  bool (*before_first_write)(void* target, const void* bytes, std::size_t size) = nullptr;
  void* target = nullptr;
  bool written = false;  // something reached the file
};

// A buffer of capacity bytes at data in front of fd.
OutputBuffer make_output(int fd, char* data, std::size_t capacity);
// Has hook called once, with the bytes of the first write to the file,
// before it is made; a false answer fails that write.
void set_first_write_hook(OutputBuffer& out, bool (*hook)(void* target, const void* bytes, std::size_t size),
                          void* target);

// Adds size bytes, writing the buffer out whenever it fills; false once
// any write to the file has failed.
bool put_output(OutputBuffer& out, const void* bytes, std::size_t size);
// Writes out everything buffered; false once any write has failed.
bool flush_output(OutputBuffer& out);
// Forgets what is buffered, unwritten.
void drop_output(OutputBuffer& out);

// The file's descriptor, -1 when there is none (or it was closed).
int output_fd(const OutputBuffer& out);
// Whether a write to the file has failed.
bool output_failed(const OutputBuffer& out);
// Whether any bytes reached the file.
bool output_written(const OutputBuffer& out);
// Closes the file, checked; false when the close failed. Nothing is
// flushed: call flush_output first.
bool close_output(OutputBuffer& out);
// Closes the file unchecked, for one whose content no longer counts.
void release_output(OutputBuffer& out);
