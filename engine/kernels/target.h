// What each kernel file needs to compile plain code for its instruction set:
//
//   CRV_TARGET_BEGIN("avx2")   every function from here on is compiled for
//   ...                        these features (GCC and clang alike), and so
//   CRV_TARGET_END             may use their intrinsics and be inlined into
//                              one another;
//   CRV_KERNEL_ENTRY           marks a kernel's entry points, called through
//                              FilterKernel from code built for the base
//                              instruction set.
//
// Headers, the intrinsics' among them, are included before the region, so
// that nothing outside the kernels is compiled for an instruction set the
// processor may lack.
#ifndef CRV_ENGINE_KERNELS_TARGET_H_
#define CRV_ENGINE_KERNELS_TARGET_H_

#define CRV_PRAGMA(...) _Pragma(#__VA_ARGS__)
#if defined(__clang__)
#define CRV_TARGET_BEGIN(features) \
  CRV_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define CRV_TARGET_END CRV_PRAGMA(clang attribute pop)
#else
#define CRV_TARGET_BEGIN(features) CRV_PRAGMA(GCC push_options) CRV_PRAGMA(GCC target(features))
#define CRV_TARGET_END CRV_PRAGMA(GCC pop_options)
#endif

// 32-bit Windows guarantees a function only 4-byte stack alignment, and its
// callers (the system, code from other compilers) keep no more. A kernel's
// entry point therefore aligns its own frame, so that vector spills into it
// (aligned loads and stores, SSE operands in memory) cannot fault. The
// x86-64 ABIs guarantee 16 bytes, which the compiler builds on by itself.
#if defined(__i386__)
#define CRV_KERNEL_ENTRY __attribute__((force_align_arg_pointer))
#else
#define CRV_KERNEL_ENTRY
#endif

#endif  // CRV_ENGINE_KERNELS_TARGET_H_
