// Carrying a file's extended attributes and access ACL over to the new file
// that replaces it.
#ifndef CRV_PLATFORM_POSIX_ATTRIBUTES_POSIX_H_
#define CRV_PLATFORM_POSIX_ATTRIBUTES_POSIX_H_

#include <cstddef>

namespace crv {
namespace platform {

// The largest attribute value and name list Linux hands out.
constexpr size_t kAttributeMax = 64 * 1024;

// Copies every extended attribute of `from` that `to` accepts, but the access
// ACL (see CarryAccessAcl). One the process may not set (security.* or
// trusted.* without privilege, user.* where the file system has none) is left
// out. False when an attribute could not be read or set for another reason.
// `names` and `buffer` hold kAttributeMax bytes each.
bool CopyAttributes(int from, int to, char* names, char* buffer);

enum class AclCarried { kExactly, kNot, kFailed };

// Gives `to` exactly the access ACL of `from`: a copy of it, or none when
// `from` has none, removing one that `to` inherited from its directory's
// default ACL. The ACL's group entry speaks for the file's group, so it is
// carried only when `to` kept the group of `from`. kNot when `to` could not
// be given exactly that ACL for want of a privilege or of ACL support, and
// kFailed when a call failed for another reason.
AclCarried CarryAccessAcl(int from, int to, bool group_kept, char* buffer);

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_ATTRIBUTES_POSIX_H_
