// The display that crvw's GTK windows are on, for as long as it lasts:
// windowed_channel_gtk.cc opens it and notices its loss (the X server ended
// or killed, the session gone), after which no GTK call may be made.
#ifndef CRV_FRONTEND_GTK_DISPLAY_H_
#define CRV_FRONTEND_GTK_DISPLAY_H_

#include <type_traits>

namespace crv {

// True once the connection to the display is found lost.
bool DisplayLost();

// Makes the GTK calls of `calls(data)`. Where the connection to the display
// is lost during them, they end there, in the middle of GTK, by a jump out
// of Xlib's I/O error handler: GDK does not look at what a failed Xlib call
// returns and would go on with what it left unset. So nothing alive in
// `calls` may need destroying when the jump skips it. False when the
// display is lost, before or during the calls.
bool OnDisplay(void (*calls)(void*), void* data);

template <typename Calls>
bool OnDisplay(Calls&& calls) {
  using Type = typename std::remove_reference<Calls>::type;
  return OnDisplay([](void* data) { (*static_cast<Type*>(data))(); }, &calls);
}

}  // namespace crv

#endif  // CRV_FRONTEND_GTK_DISPLAY_H_
