// Finding the directory a run works in, one part of the path at a time.
#ifndef CRV_PLATFORM_POSIX_PATH_POSIX_H_
#define CRV_PLATFORM_POSIX_PATH_POSIX_H_

#include <string>

namespace crv {
namespace platform {

// Opens (O_PATH) the directory that holds what `name` designates and sets
// *leaf to its last part there. Every symbolic link met on the way, in any
// part of the path and at its end, is read and followed here rather than by
// the kernel, under the rule for links in shared directories (see
// path_posix.cc). -1 when the name leads nowhere (a missing directory or
// final entry, a link that may not be followed, a loop of links).
int OpenDirectoryOf(const std::string& name, std::string* leaf);

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_PATH_POSIX_H_
