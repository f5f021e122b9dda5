// One run of crv or crvw, from the arguments to the exit status.
#ifndef CRV_FRONTEND_FLOW_H_
#define CRV_FRONTEND_FLOW_H_

#include <string>
#include <vector>

#include "frontend/reporter.h"

namespace crv {

// Runs the flow: usage, the existence check, the confirmation, the in-place
// conversion and its report. Returns the exit status, 0 or 1.
int RunFlow(const std::vector<std::string>& args, bool console_channel, Reporter* reporter);

}  // namespace crv

#endif  // CRV_FRONTEND_FLOW_H_
