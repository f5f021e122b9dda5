// What the unit tests that run once per filter kernel share: the kernel is
// the test's parameter, named in the test's name and output, and a kernel
// this processor lacks is reported by name as skipped, never passed
// silently. A suite instantiates with
//   INSTANTIATE_TEST_SUITE_P(Kernels, Suite, ::testing::ValuesIn(FilterKernels()), KernelName);
#ifndef CRV_ENGINE_KERNEL_TEST_H_
#define CRV_ENGINE_KERNEL_TEST_H_

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "engine/filter_kernel.h"

namespace crv {

// Found by ADL when a test prints its parameter.
inline void PrintTo(const FilterKernelChoice& k, std::ostream* os) { *os << k.kernel->name; }

inline std::string KernelName(const ::testing::TestParamInfo<FilterKernelChoice>& info) {
  return info.param.kernel->name;
}

class KernelTest : public ::testing::TestWithParam<FilterKernelChoice> {
 protected:
  void SetUp() override {
    if (!GetParam().runs) {
      GTEST_SKIP() << "kernel " << GetParam().kernel->name << " not tested on this machine (needs "
                   << GetParam().needs << ")";
    }
  }
  const FilterKernel& Kernel() const { return *GetParam().kernel; }
};

}  // namespace crv

#endif  // CRV_ENGINE_KERNEL_TEST_H_
