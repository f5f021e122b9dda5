// Carrying a file's extended attributes and access ACL over to the new file
// that replaces it.
#ifndef CRV_PLATFORM_POSIX_ATTRIBUTES_POSIX_H_
#define CRV_PLATFORM_POSIX_ATTRIBUTES_POSIX_H_

#include <sys/stat.h>

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

// Gives `to` the owner and group of `original`. False when `to` does not
// have them afterwards, whatever the calls answered: a user who may not set
// them (another user's file, a group the user is not in) fails, one whose
// new file gets them anyway (a set-group-ID directory, a file system where
// every file has the mount's owner) goes on.
bool KeepOwner(int to, const struct stat& original);

// Gives `to`, which has the owner and group of `from` (whose status is
// `original`), the access of `from`: exactly its access ACL (a copy, or none
// when `from` has none, removing one that `to` inherited from its
// directory's default ACL) and its permission bits, all but the set-ID bits,
// which a write clears. `*mode` is the final mode, set-ID bits included:
// where the ACL cannot be carried for want of a privilege or of ACL support,
// without group or other rights at all (with an ACL the group bits are its
// mask, so the mode alone would open the file to its group). False when a
// call failed for another reason (an I/O error, a full disk). `buffer` holds
// kAttributeMax bytes.
bool GiveAccess(int from, int to, const struct stat& original, int* mode, char* buffer);

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_ATTRIBUTES_POSIX_H_
