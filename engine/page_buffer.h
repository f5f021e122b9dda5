// Page-aligned byte buffers. The kernel copies between the page cache and a
// buffer fastest when the buffer's offset within a page matches the file
// offset's; on some processors a misaligned copy is several times slower.
#ifndef CRV_ENGINE_PAGE_BUFFER_H_
#define CRV_ENGINE_PAGE_BUFFER_H_

#include <cstddef>
#include <memory>
#include <new>

namespace crv {

constexpr size_t kPageSize = 4096;

struct PageAlignedDelete {
  void operator()(char* p) const { ::operator delete[](p, std::align_val_t{kPageSize}); }
};
using PageBuffer = std::unique_ptr<char[], PageAlignedDelete>;

inline PageBuffer NewPageBuffer(size_t size) {
  return PageBuffer(new (std::align_val_t{kPageSize}) char[size]);
}

}  // namespace crv

#endif  // CRV_ENGINE_PAGE_BUFFER_H_
