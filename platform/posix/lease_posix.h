// Leases (fcntl F_SETLEASE): how a run keeps other programs from writing
// the files it works on, where the kernel grants them.
#ifndef CRV_PLATFORM_POSIX_LEASE_POSIX_H_
#define CRV_PLATFORM_POSIX_LEASE_POSIX_H_

namespace crv {
namespace platform {

enum class Lease { kHeld, kRefused, kNone };

// Takes a lease of `type` (F_RDLCK, F_WRLCK) on `fd`. kRefused when another
// program has the file open for writing (or, for a write lease, at all):
// tried again for half a second, for writers about to close. kNone when no
// lease can be had here. A break of the lease is seen with LeaseIntact, so
// SIGIO, the signal the kernel sends for it, is ignored from then on.
Lease TakeLease(int fd, int type);

// Whether the lease of `type` on `fd` is still held and nobody is waiting for
// it to go (a lease being broken reports the type it is to become).
bool LeaseIntact(int fd, int type);

// Whether nobody but readers waits for the write lease on `fd` to go: it is
// intact, or being lowered to a read lease. A program that waits to write
// (or truncate) is lowering it to none.
bool OnlyReadersWait(int fd);

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_LEASE_POSIX_H_
