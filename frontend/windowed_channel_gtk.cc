// Makes a deliverable the windowed one on a Linux desktop: crvw, reporting
// through modal GTK 3 message dialogs with no parent window and no icon, and
// a progress window during a long conversion (progress_window_gtk.cc).
//
// GTK is opened only when the first dialog or window is due, so a run that
// shows none (-p- and a successful conversion of less than half a second)
// never touches the display. Where there is
// no windowing system (neither DISPLAY nor WAYLAND_DISPLAY, or GTK cannot open
// the display) the texts go to standard error instead, each prefixed by its
// caption, and a confirmation that cannot be asked declines.
//
// A display lost while GTK is open (the X server ended or killed, the
// session gone) makes no further GTK call: an open dialog counts as not
// shown (its text goes to standard error, a confirmation declines), the
// progress window asks the run to stop, and any later text goes to standard
// error.
#include <gtk/gtk.h>
#if defined(GDK_WINDOWING_X11)
#include <gdk/gdkx.h>
#endif

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "frontend/gtk_display.h"
#include "frontend/messages.h"
#include "frontend/progress_window.h"
#include "frontend/reporter.h"

namespace crv {

namespace {

const char kCaption[] = "crv";

// Set when the connection to the display is found lost; never cleared.
bool g_display_lost = false;
// Where OnDisplay goes on when the display is lost during its calls.
std::jmp_buf* g_resume = nullptr;
// The main loop of the dialog on the screen, if any.
GMainLoop* g_dialog_loop = nullptr;

// GDK closed the display (GDK itself, not a failed connection).
void OnDisplayClosed(GdkDisplay*, gboolean, gpointer) {
  g_display_lost = true;
  if (g_dialog_loop != nullptr) g_main_loop_quit(g_dialog_loop);
}

#if defined(CRV_X11_IO_ERROR_EXIT) && defined(GDK_WINDOWING_X11)
// Xlib calls the I/O error handler, then the display's exit handler, when
// the connection fails; GDK's handler and Xlib's default exit handler both
// end the process there and then, with status 1 and the run's work left
// undone. Ours ends the GTK calls that met the failure instead (see
// OnDisplay), skipping only the frames of GTK, GLib and Xlib, which hold
// nothing that needs destroying: what they leave behind (the dead display's
// lock, the main loop's run) is never used again, since no GTK call follows.
// Outside OnDisplay (no GTK call of ours is under way) both return, which
// Xlib allows from libX11 1.7 on: it marks the display broken and fails
// every later call on it.
int OnXIOError(Display*) {
  g_display_lost = true;
  if (g_resume != nullptr) std::longjmp(*g_resume, 1);
  return 0;
}

void OnXIOErrorExit(Display*, void*) { g_display_lost = true; }
#endif

// Notices the display's loss from now on, instead of ending the process.
void WatchDisplay() {
  GdkDisplay* display = gdk_display_get_default();
  g_signal_connect(display, "closed", G_CALLBACK(OnDisplayClosed), nullptr);
#if defined(GDK_WINDOWING_X11)
  if (GDK_IS_X11_DISPLAY(display)) {
    // A window of ours that another client destroys makes GTK's requests on
    // it fail (BadWindow, BadDrawable) until GTK hears of the destruction,
    // and GDK ends the process on any error it did not expect. Our windows
    // are a progress window and message dialogs: such an error costs at
    // most some drawing, never the run. So all are expected, and ignored,
    // from now on; GDK's own expectations nest inside.
    gdk_x11_display_error_trap_push(display);
#if defined(CRV_X11_IO_ERROR_EXIT)
    XSetIOErrorHandler(OnXIOError);
    XSetIOErrorExitHandler(gdk_x11_display_get_xdisplay(display), OnXIOErrorExit, nullptr);
#endif
  }
#endif
}

}  // namespace

bool DisplayLost() { return g_display_lost; }

bool OnDisplay(void (*calls)(void*), void* data) {
  if (g_display_lost) return false;
  std::jmp_buf resume;
  std::jmp_buf* outer = g_resume;
  g_resume = &resume;
  if (setjmp(resume) == 0) calls(data);
  g_resume = outer;
  return !g_display_lost;
}

namespace {

// A dialog's answer, awaited in a main loop of its own (as gtk_dialog_run
// does) so that the display's loss can end the wait too.
struct DialogWait {
  GMainLoop* loop = nullptr;
  bool answered = false;
  int response = GTK_RESPONSE_NONE;
  bool destroyed = false;
};

void OnDialogResponse(GtkDialog*, int response, gpointer data) {
  DialogWait* wait = static_cast<DialogWait*>(data);
  wait->answered = true;
  wait->response = response;
  g_main_loop_quit(wait->loop);
}

// Closing the dialog destroys it after its response.
void OnDialogDestroyed(GtkWidget*, gpointer data) {
  DialogWait* wait = static_cast<DialogWait*>(data);
  wait->destroyed = true;
  g_main_loop_quit(wait->loop);
}

// Another client destroyed the dialog on the display: no answer. GTK would
// destroy the widget next, and on a window already gone from the display it
// stumbles doing so (criticals about its frame clock); so the widget stays,
// never used again.
gboolean OnDialogWindowDestroyed(GtkWidget* dialog, GdkEvent*, gpointer data) {
  OnDialogDestroyed(dialog, data);
  return TRUE;
}

bool EnvironmentNames(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0';
}

// Best effort: a failing standard error changes neither the flow nor the
// exit status.
void WriteStderr(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

// Sets up the labels of the dialog's message: Japanese text, so that the
// Japanese forms of the Han characters are chosen whatever the locale; and
// breaks inside words too, so that a long path without blanks cannot widen
// the dialog beyond the screen and push its buttons out of sight. A text
// laid out in columns (the usage text) is shown in a fixed-width font,
// unbroken.
void SetUpMessageLabels(GtkMessageDialog* dialog, bool columns) {
  GList* children =
      gtk_container_get_children(GTK_CONTAINER(gtk_message_dialog_get_message_area(dialog)));
  for (GList* child = children; child != nullptr; child = child->next) {
    if (!GTK_IS_LABEL(child->data)) continue;
    GtkLabel* label = GTK_LABEL(child->data);
    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes,
                           pango_attr_language_new(pango_language_from_string("ja")));
    // A break inside a file name must not look like a hyphen in it.
    pango_attr_list_insert(attributes, pango_attr_insert_hyphens_new(FALSE));
    if (columns) pango_attr_list_insert(attributes, pango_attr_family_new("monospace"));
    gtk_label_set_attributes(label, attributes);
    pango_attr_list_unref(attributes);
    gtk_label_set_line_wrap(label, !columns);
    gtk_label_set_line_wrap_mode(label, PANGO_WRAP_WORD_CHAR);
  }
  g_list_free(children);
}

// Shows one modal dialog and waits for its answer in *wait. The calls of an
// OnDisplay: nothing here needs destroying.
void RunDialog(const char* caption, const std::string& text, GtkButtonsType buttons,
               bool columns, DialogWait* wait) {
  // A file name is any byte string, but GTK shows only UTF-8: bytes that
  // are not UTF-8 are shown as replacement characters.
  gchar* shown = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                             buttons, "%s", shown);
  g_free(shown);
  gtk_window_set_title(GTK_WINDOW(dialog), caption);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  SetUpMessageLabels(GTK_MESSAGE_DIALOG(dialog), columns);
  // OK is the default and has the focus, so Return presses it although
  // Cancel comes first in the row of buttons.
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  if (ok != nullptr) gtk_widget_grab_focus(ok);
  g_object_ref(dialog);  // for `dialog` to stay valid if it is destroyed
  g_signal_connect(dialog, "response", G_CALLBACK(OnDialogResponse), wait);
  g_signal_connect(dialog, "destroy", G_CALLBACK(OnDialogDestroyed), wait);
  g_signal_connect(dialog, "destroy-event", G_CALLBACK(OnDialogWindowDestroyed), wait);
  gtk_widget_show(dialog);
  wait->loop = g_main_loop_new(nullptr, FALSE);
  g_dialog_loop = wait->loop;
  if (!g_display_lost) g_main_loop_run(wait->loop);
  g_dialog_loop = nullptr;
  // GDK closed the display: the dialog is left as it is.
  if (g_display_lost) return;
  g_main_loop_unref(wait->loop);
  g_signal_handlers_disconnect_by_data(dialog, wait);
  if (!wait->destroyed) gtk_widget_destroy(dialog);
  g_object_unref(dialog);
  // Let the dialog vanish from the screen before the run goes on: a long
  // conversion must not leave a dead dialog standing.
  while (!g_display_lost && gtk_events_pending()) gtk_main_iteration();
}

class GtkReporter : public Reporter {
 public:
  void ShowText(const std::string& message) override {
    // Only the usage text comes here: its option descriptions line up in
    // one column.
    if (!ShowDialog(kCaption, message, GTK_BUTTONS_OK, nullptr, /*columns=*/true)) {
      WriteStderr(std::string(kCaption) + ": " + message + "\n");
    }
  }

  void ShowError(const std::string& sentence, const std::string& file_name) override {
    std::string message = WithFileName(sentence, file_name);
    const char* caption = kMessages.error_caption;
    if (!ShowDialog(caption, message, GTK_BUTTONS_OK, nullptr)) {
      WriteStderr(std::string(caption) + ": " + message + "\n");
    }
  }

  bool ConfirmConversion(const std::string& file_name) override {
    int response = GTK_RESPONSE_NONE;
    if (ShowDialog(kCaption, WithFileName(kMessages.confirmation, file_name),
                   GTK_BUTTONS_OK_CANCEL, &response)) {
      // Only OK consents: Cancel, Escape and closing the dialog decline.
      return response == GTK_RESPONSE_OK;
    }
    // The question could not be asked, which declines it; say so, because
    // the run otherwise ends with status 0 and an unchanged file.
    WriteStderr(std::string(kCaption) + ": no display to ask whether to convert \"" +
                file_name + "\"; nothing was converted. -p- converts without asking.\n");
    return false;
  }

  void ShowUnexpectedFailure(const std::string& what) override { ShowError(what + ".", std::string()); }

  std::unique_ptr<RunControl> FollowConversion(
      const std::string& file_name) override {
    return NewProgressWindow(file_name, [this] { return DisplayReady(); });
  }

 protected:
  std::string UsageText() const override { return WindowedUsageText(); }

 private:
  // Opens GTK on the first call; false, from then on, where that failed, and
  // from the display's loss on.
  bool DisplayReady() {
    if (display_ == DisplayState::kUnknown) {
      display_ = DisplayState::kAbsent;
      if (EnvironmentNames("DISPLAY") || EnvironmentNames("WAYLAND_DISPLAY")) {
        g_set_prgname("crvw");
        // Dialogs and a progress bar draw nothing through OpenGL: without
        // GTK's search for OpenGL visuals, which loads the OpenGL driver, the
        // display opens in a fraction of the time, and a progress window
        // opened during a conversion holds the copy up far less. A user's
        // own setting stays.
        g_setenv("GDK_GL", "disable", FALSE);
        // No argument vector: GTK must not take options out of the user's
        // arguments, which the flow has already read.
        if (gtk_init_check(nullptr, nullptr)) {
          display_ = DisplayState::kReady;
          WatchDisplay();
        }
      }
    }
    return display_ == DisplayState::kReady && !g_display_lost;
  }

  // Runs one modal dialog. False when there is no display to show it on, or
  // it was lost before the dialog was answered; otherwise stores the
  // dialog's response in *response (when given).
  bool ShowDialog(const char* caption, const std::string& text, GtkButtonsType buttons,
                  int* response, bool columns = false) {
    if (!DisplayReady()) return false;
    DialogWait wait;
    OnDisplay([&] { RunDialog(caption, text, buttons, columns, &wait); });
    g_dialog_loop = nullptr;  // after a jump out of its run
    if (DisplayLost() && !wait.answered) return false;
    if (response != nullptr) *response = wait.response;
    return true;
  }

  enum class DisplayState { kUnknown, kReady, kAbsent };
  DisplayState display_ = DisplayState::kUnknown;
};

}  // namespace

const bool kConsoleChannel = false;

std::unique_ptr<Reporter> MakeReporter() { return std::make_unique<GtkReporter>(); }

}  // namespace crv
