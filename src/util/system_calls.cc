// The kernel's system calls as the default table.
#include "util/system_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <stdio.h>

namespace {

int kernel_openat(int folder, const char* path, int flags, mode_t mode) {
  return ::openat(folder, path, flags, mode);
}
int kernel_record_lock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }
int kernel_set_status_flags(int fd, int flags) { return ::fcntl(fd, F_SETFL, flags); }
int kernel_duplicate(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }
ssize_t kernel_copy_file_range(int in, off_t* in_offset, int out, off_t* out_offset, std::size_t size,
                               unsigned flags) {
  return ::copy_file_range(in, in_offset, out, out_offset, size, flags);
}

const SystemCalls kKernel = {
    kernel_openat,
    ::close,
    ::read,
    ::pread,
    ::write,
    ::pwrite,
    ::fsync,
    ::ftruncate,
    kernel_copy_file_range,
    ::lseek,
    ::fstat,
    ::fstatat,
    ::readlinkat,
    ::fgetxattr,
    ::renameat2,
    ::unlinkat,
    ::fchmod,
    ::fchown,
    ::flock,
    kernel_record_lock,
    kernel_set_status_flags,
    kernel_duplicate,
    std::time,
};

const SystemCalls* in_use = &kKernel;

}  // namespace

const SystemCalls& sys() { return *in_use; }
const SystemCalls& kernel_calls() { return kKernel; }
void use_system_calls(const SystemCalls* table) { in_use = table != nullptr ? table : &kKernel; }
