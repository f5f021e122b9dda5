#include "platform/posix/attributes_posix.h"

#include <errno.h>
#include <string.h>
#include <sys/types.h>
#include <sys/xattr.h>

namespace crv {
namespace platform {

namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

// Whether a failed attribute call failed only for want of a privilege, or
// because the file system has no such attributes: the attribute is then left
// out, as documented. Any other failure (an I/O error, a full disk) fails the
// conversion, which then restores the original with all its attributes.
bool MayLeaveOut(int error) {
  return error == EPERM || error == EACCES || error == ENOTSUP;
}

}  // namespace

bool CopyAttributes(int from, int to, char* names, char* buffer) {
  ssize_t size = flistxattr(from, names, kAttributeMax);
  if (size < 0) return MayLeaveOut(errno);
  for (ssize_t i = 0; i < size; i += static_cast<ssize_t>(strlen(names + i)) + 1) {
    const char* name = names + i;
    if (strcmp(name, kAccessAcl) == 0) continue;
    ssize_t n = fgetxattr(from, name, buffer, kAttributeMax);
    if (n < 0) {
      // ENODATA: the attribute was removed since the list was read.
      if (errno == ENODATA || MayLeaveOut(errno)) continue;
      return false;
    }
    if (fsetxattr(to, name, buffer, static_cast<size_t>(n), 0) != 0 && !MayLeaveOut(errno)) {
      return false;
    }
  }
  return true;
}

AclCarried CarryAccessAcl(int from, int to, bool group_kept, char* buffer) {
  ssize_t n = fgetxattr(from, kAccessAcl, buffer, kAttributeMax);
  if (n >= 0) {
    if (!group_kept) return AclCarried::kNot;
    if (fsetxattr(to, kAccessAcl, buffer, static_cast<size_t>(n), 0) == 0) {
      return AclCarried::kExactly;
    }
    return MayLeaveOut(errno) ? AclCarried::kNot : AclCarried::kFailed;
  }
  if (errno != ENODATA && errno != ENOTSUP) {
    return MayLeaveOut(errno) ? AclCarried::kNot : AclCarried::kFailed;
  }
  if (fremovexattr(to, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP) {
    return AclCarried::kExactly;
  }
  return MayLeaveOut(errno) ? AclCarried::kNot : AclCarried::kFailed;
}

}  // namespace platform
}  // namespace crv
