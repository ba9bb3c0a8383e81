// Mode bits and POSIX ACLs of files and folders.
#include "files/safe_folder.h"

#include <cerrno>
#include <cstdint>

#include "util/system_calls.h"

namespace {

// The extended attribute of an ACL: a 4-byte version (2), then entries of
// a 2-byte tag, a 2-byte permission set and a 4-byte user or group id,
// all little-endian.
constexpr std::uint16_t kUser = 0x02;
constexpr std::uint16_t kGroupObject = 0x04;
constexpr std::uint16_t kGroup = 0x08;
constexpr std::uint16_t kMask = 0x10;
constexpr std::uint16_t kOther = 0x20;
constexpr std::uint16_t kWrite = 0x02;

std::uint32_t little_endian(const unsigned char* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

enum class AclWrite { none, others, unreadable };

// Whether the ACL in attribute name gives write to anyone but the owner
// (and root's group when trusted).
AclWrite acl_write(int fd, const char* name, const struct stat& st, bool root_group_trusted) {
  unsigned char acl[4096];
  ssize_t n = sys().fgetxattr(fd, name, acl, sizeof acl);
  if (n < 0) return errno == ENODATA || errno == ENOTSUP ? AclWrite::none : AclWrite::unreadable;
  if (n < 4 || (n - 4) % 8 != 0 || little_endian(acl, 4) != 2) return AclWrite::unreadable;
  bool mask_writes = true;  // no mask entry: the group entries stand as they are
  bool masked_write = false;
  bool other_write = false;
  for (ssize_t at = 4; at < n; at += 8) {
    std::uint32_t tag = little_endian(acl + at, 2);
    bool writes = (little_endian(acl + at + 2, 2) & kWrite) != 0;
    std::uint32_t id = little_endian(acl + at + 4, 4);
    bool trusted_group = root_group_trusted && id == 0;
    if (tag == kMask) mask_writes = writes;
    if (tag == kOther) other_write = other_write || writes;
    if (!writes) continue;
    if ((tag == kUser && id != st.st_uid) || (tag == kGroup && !trusted_group) ||
        (tag == kGroupObject && !(root_group_trusted && st.st_gid == 0))) {
      masked_write = true;
    }
  }
  return other_write || (masked_write && mask_writes) ? AclWrite::others : AclWrite::none;
}

}  // namespace

bool writable_by_others(int fd, const struct stat& st, bool root_group_trusted) {
  if ((st.st_mode & S_IWOTH) != 0) return true;
  if ((st.st_mode & S_IWGRP) != 0 && !(root_group_trusted && st.st_gid == 0)) return true;
  return acl_write(fd, "system.posix_acl_access", st, root_group_trusted) != AclWrite::none;
}

bool folder_is_root_only(int fd, const struct stat& st, bool holds_files) {
  if (st.st_uid != 0 || !S_ISDIR(st.st_mode)) return false;
  if (!holds_files) return !writable_by_others(fd, st, true) || (st.st_mode & S_ISVTX) != 0;
  return !writable_by_others(fd, st, true) &&
         acl_write(fd, "system.posix_acl_default", st, true) == AclWrite::none;
}
