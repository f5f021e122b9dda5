// The progress window on a Linux desktop: a GTK 3 window titled "crv" with
// the file's name, a progress bar and a Cancel button. Cancel, Escape and
// closing the window all ask the run to stop; so do the window destroyed
// from outside (by another client) and the display lost.
//
// Its GTK calls are made through OnDisplay: once the display is gone, the
// window makes none at all, not even to destroy itself, since every call
// would talk to a connection that is no longer there. Once the window has
// been destroyed from outside, it makes none on its widgets.
#include <gtk/gtk.h>

#include <utility>

#include "frontend/gtk_display.h"
#include "frontend/progress_window.h"

namespace crv {

namespace {

// Events handled in one go at most: a flood of them cannot hold up the copy.
constexpr int kMaxEvents = 100;

class GtkProgressWindow : public ProgressWindow {
 public:
  GtkProgressWindow(const std::string& file_name, std::function<bool()> display_ready)
      : file_name_(file_name), display_ready_(std::move(display_ready)) {}

  ~GtkProgressWindow() override {
    if (window_ == nullptr) return;
    OnDisplay([this] {
      // Our own destruction is not the user's: OnDestroyed must not run.
      g_signal_handlers_disconnect_by_data(window_, this);
      gtk_widget_destroy(window_);
      // Gone from the screen before the run goes on to any error box.
      PumpEvents();
    });
  }

 private:
  bool Open() override {
    if (!display_ready_()) return false;
    OnDisplay([this] { Build(); });
    return true;
  }

  void Build() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(window_);
    gtk_window_set_title(window, "crv");
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(window, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(window_), 12);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
    gtk_container_add(GTK_CONTAINER(window_), box);

    // Any bytes of the name that are not UTF-8 show as replacement
    // characters; a long name is shortened in its middle.
    gchar* shown = g_utf8_make_valid(file_name_.data(), static_cast<gssize>(file_name_.size()));
    GtkWidget* label = gtk_label_new(shown);
    g_free(shown);
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_MIDDLE);
    gtk_label_set_width_chars(GTK_LABEL(label), 40);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 40);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);

    bar_ = gtk_progress_bar_new();
    gtk_box_pack_start(GTK_BOX(box), bar_, FALSE, FALSE, 0);

    // GTK's own word for the button, in the user's language.
    GtkWidget* cancel = gtk_button_new_with_mnemonic(g_dgettext("gtk30", "_Cancel"));
    gtk_widget_set_halign(cancel, GTK_ALIGN_END);
    gtk_box_pack_start(GTK_BOX(box), cancel, FALSE, FALSE, 0);

    g_signal_connect(cancel, "clicked", G_CALLBACK(OnCancel), this);
    g_signal_connect(window_, "delete-event", G_CALLBACK(OnDelete), this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(OnKey), this);
    g_signal_connect(window_, "destroy-event", G_CALLBACK(OnDestroyEvent), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(OnDestroyed), this);
    gtk_widget_show_all(window_);
    gtk_widget_grab_focus(cancel);
  }

  void Update(double fraction) override {
    if (bar_ == nullptr) return;
    OnDisplay([this, fraction] { gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), fraction); });
  }

  bool HandleEvents() override {
    return !OnDisplay([this] { PumpEvents(); }) || cancelled_;
  }

  // GDK can close the display during any event handled: no further one is
  // looked for then.
  void PumpEvents() {
    for (int i = 0; i < kMaxEvents && !DisplayLost() && gtk_events_pending(); ++i) {
      gtk_main_iteration_do(FALSE);
    }
  }

  static void OnCancel(GtkWidget*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->cancelled_ = true;
  }

  // The window stays until the run has stopped and put the file back.
  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->cancelled_ = true;
    return TRUE;
  }

  // Another client destroyed the window on the display: the user's way of
  // saying stop, as closing it. GTK would destroy the widget next, and on a
  // window already gone from the display it stumbles doing so (criticals
  // about its frame clock); so the widget stays, never used again.
  static gboolean OnDestroyEvent(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->Forget();
    return TRUE;
  }

  // The widget destroyed by anyone but us (its display closed, say): its
  // children are freed.
  static void OnDestroyed(GtkWidget*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->Forget();
  }

  void Forget() {
    window_ = nullptr;
    bar_ = nullptr;
    cancelled_ = true;
  }

  static gboolean OnKey(GtkWidget*, GdkEventKey* event, gpointer self) {
    if (event->keyval != GDK_KEY_Escape) return FALSE;
    static_cast<GtkProgressWindow*>(self)->cancelled_ = true;
    return TRUE;
  }

  std::string file_name_;
  std::function<bool()> display_ready_;
  GtkWidget* window_ = nullptr;
  GtkWidget* bar_ = nullptr;
  bool cancelled_ = false;
};

}  // namespace

std::unique_ptr<RunControl> NewProgressWindow(
    const std::string& file_name, const std::function<bool()>& display_ready) {
  return std::make_unique<GtkProgressWindow>(file_name, display_ready);
}

}  // namespace crv
