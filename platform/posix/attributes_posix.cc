#include "platform/posix/attributes_posix.h"

#include <errno.h>
#include <string.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

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

bool KeepOwner(int to, const struct stat& original) {
  struct stat made;
  if (fchown(to, original.st_uid, original.st_gid) != 0) {
    // Whatever the call answers, the file's status says whether it has them.
  }
  return fstat(to, &made) == 0 && made.st_uid == original.st_uid &&
         made.st_gid == original.st_gid;
}

bool GiveAccess(int from, int to, const struct stat& original, int* mode, char* buffer) {
  *mode = static_cast<int>(original.st_mode & 07777);
  bool carried = true;
  ssize_t n = fgetxattr(from, kAccessAcl, buffer, kAttributeMax);
  if (n >= 0) {
    if (fsetxattr(to, kAccessAcl, buffer, static_cast<size_t>(n), 0) != 0) {
      if (!MayLeaveOut(errno)) return false;
      carried = false;
    }
  } else if (errno == ENODATA || errno == ENOTSUP) {
    if (fremovexattr(to, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
      if (!MayLeaveOut(errno)) return false;
      carried = false;
    }
  } else {
    if (!MayLeaveOut(errno)) return false;
    carried = false;
  }
  if (!carried) *mode &= ~(S_IRWXG | S_IRWXO);
  // The mode comes after the ACL, matching it: setting the ACL set the
  // mode's group bits to its mask.
  return fchmod(to, static_cast<mode_t>(*mode & ~(S_ISUID | S_ISGID))) == 0;
}

}  // namespace platform
}  // namespace crv
