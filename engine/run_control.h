// What a run tells the one who started it while it converts, and what it
// hears back: how far it has read, and whether to stop. The front end
// implements it (a progress window, or nothing); the engine asks it between
// blocks, never per byte.
#ifndef CRV_ENGINE_RUN_CONTROL_H_
#define CRV_ENGINE_RUN_CONTROL_H_

#include <cstdint>

namespace crv {

class RunControl {
 public:
  virtual ~RunControl() = default;
  // `done` of the `total` bytes of the file are read (`total` is its size
  // when it was opened). True once the user declined the conversion (Cancel,
  // closing the window, the window or its display gone): the run then stops
  // and leaves the file as it was, or, when the new file already has the
  // name, as it is.
  virtual bool StopRequested(uint64_t done, uint64_t total) = 0;
};

}  // namespace crv

#endif  // CRV_ENGINE_RUN_CONTROL_H_
