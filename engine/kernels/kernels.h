// The kernels compiled into an x86 build (x86-64, and 32-bit x86 for the
// Windows programs), each defined in a file of its own with the instruction
// set it uses enabled per function (so that nothing outside them, header
// code included, is compiled for that instruction set).
#ifndef CRV_ENGINE_KERNELS_KERNELS_H_
#define CRV_ENGINE_KERNELS_KERNELS_H_

#include "engine/filter_kernel.h"

#if (defined(__x86_64__) || defined(__i386__)) && !defined(CRV_PORTABLE_SCAN)
#define CRV_X86_KERNELS 1
#endif

namespace crv {
namespace kernels {

extern const FilterKernel kSse2;
extern const FilterKernel kAvx2;
extern const FilterKernel kAvx512Bw;
extern const FilterKernel kAvx512Vbmi2;

}  // namespace kernels
}  // namespace crv

#endif  // CRV_ENGINE_KERNELS_KERNELS_H_
