// The windowed deliverables' progress window: it follows a conversion that
// is still running half a second after it started, with the file's name, a
// bar of the bytes read against the file's size, and a Cancel button. It
// lives in the run's one thread: the conversion calls it between blocks (see
// RunControl), and it handles its window's events then, at
// most every 50 ms, so that it costs the copy nothing measurable.
#ifndef CRV_FRONTEND_PROGRESS_WINDOW_H_
#define CRV_FRONTEND_PROGRESS_WINDOW_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/run_control.h"

namespace crv {

// When the window opens and how often it is kept up to date; the window
// itself is each toolkit's (Open, Update, HandleEvents).
class ProgressWindow : public RunControl {
 public:
  bool StopRequested(uint64_t done, uint64_t total) final {
    Clock::time_point now = Clock::now();
    if (now < next_) return cancelled_;
    if (!opened_) {
      opened_ = true;
      // A window that cannot open (no display) is never tried again.
      if (!Open()) {
        next_ = Clock::time_point::max();
        return false;
      }
    }
    // Redrawing the bar costs far more than looking for events: it is
    // redrawn a few times a second, often enough to be seen moving.
    if (now >= next_update_) {
      Update(total == 0 || done >= total ? 1.0 : static_cast<double>(done) / total);
      next_update_ = now + kUpdatePeriod;
    }
    if (HandleEvents()) cancelled_ = true;
    next_ = now + kEventPeriod;
    return cancelled_;
  }

 protected:
  static constexpr std::chrono::milliseconds kDelay{500};
  static constexpr std::chrono::milliseconds kEventPeriod{50};
  static constexpr std::chrono::milliseconds kUpdatePeriod{200};

  // Shows the window; false when it cannot be shown.
  virtual bool Open() = 0;
  // Shows `fraction` (0 to 1) of the file as read.
  virtual void Update(double fraction) = 0;
  // Handles the window's pending events; true once the user asked to stop.
  virtual bool HandleEvents() = 0;

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point next_ = Clock::now() + kDelay;
  Clock::time_point next_update_;
  bool opened_ = false;
  bool cancelled_ = false;
};

// A progress window for the conversion of `file_name`, closed when the
// object goes. `display_ready` opens the windowing system when the window is
// due and tells whether there is one.
std::unique_ptr<RunControl> NewProgressWindow(
    const std::string& file_name, const std::function<bool()>& display_ready);

}  // namespace crv

#endif  // CRV_FRONTEND_PROGRESS_WINDOW_H_
