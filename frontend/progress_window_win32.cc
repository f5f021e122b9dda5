// The progress window on Windows: a modeless dialog titled "crv", built in
// memory (USER32 alone, no resources, no common controls), with the file's
// name, a bar drawn by the dialog itself, and a Cancel button. Cancel,
// Escape, closing the window, the window destroyed by anything but the run,
// and the end of the session (logoff, shutdown) all ask the run to stop: the
// user declined. Its texts go through the wide API, the file name as the
// program keeps it (UTF-8).
#include <windows.h>

#include <vector>

#include "frontend/progress_window.h"
#include "platform/win32/text_win32.h"

namespace crv {

namespace {

constexpr WORD kNameId = 100;
constexpr WORD kBarId = 101;
constexpr WORD kStatic = 0x0082;  // Predefined window classes, by atom.
constexpr WORD kButton = 0x0080;
// Messages handled in one go at most: a flood of them cannot hold up the
// copy.
constexpr int kMaxMessages = 100;

// A dialog template (DLGTEMPLATE and its DLGITEMTEMPLATEs) in memory, in
// dialog units; the dialog manager makes its font.
class DialogTemplate {
 public:
  DialogTemplate(DWORD style, short cx, short cy, const wchar_t* title, WORD items) {
    Long(style);
    Long(0);  // Extended style.
    words_.push_back(items);
    for (short v : {short(0), short(0), cx, cy}) words_.push_back(static_cast<WORD>(v));
    words_.push_back(0);  // No menu.
    words_.push_back(0);  // The dialog class.
    Text(title);
    words_.push_back(8);  // DS_SETFONT: point size and typeface.
    Text(L"MS Shell Dlg");
  }

  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD window_class,
            const wchar_t* text) {
    if (words_.size() % 2 != 0) words_.push_back(0);  // Items start on a DWORD.
    Long(style | WS_CHILD | WS_VISIBLE);
    Long(0);
    for (short v : {x, y, cx, cy}) words_.push_back(static_cast<WORD>(v));
    words_.push_back(id);
    words_.push_back(0xFFFF);
    words_.push_back(window_class);
    Text(text);
    words_.push_back(0);  // No creation data.
  }

  const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Long(DWORD v) {
    words_.push_back(LOWORD(v));
    words_.push_back(HIWORD(v));
  }
  void Text(const wchar_t* text) {
    do words_.push_back(static_cast<WORD>(*text)); while (*text++ != L'\0');
  }
  std::vector<WORD> words_;  // WORD-aligned, as the vector's storage is.
};

class Win32ProgressWindow : public ProgressWindow {
 public:
  explicit Win32ProgressWindow(const std::string& file_name) : file_name_(file_name) {}

  ~Win32ProgressWindow() override {
    if (dialog_ == nullptr) return;
    destroying_ = true;
    DestroyWindow(dialog_);
  }

 private:
  bool Open() override {
    DialogTemplate layout(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION |
                              WS_SYSMENU,
                          220, 60, L"crv", 3);
    layout.Item(SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, 7, 7, 206, 9, kNameId, kStatic, L"");
    layout.Item(SS_OWNERDRAW, 7, 20, 206, 10, kBarId, kStatic, L"");
    layout.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 163, 39, 50, 14, IDCANCEL, kButton, L"Cancel");
    dialog_ = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), layout.get(), nullptr,
                                         DialogProc, reinterpret_cast<LPARAM>(this));
    if (dialog_ == nullptr) return false;
    SetDlgItemTextW(dialog_, kNameId, win32::WideName(file_name_).c_str());
    ShowWindow(dialog_, SW_SHOWNORMAL);
    return true;
  }

  void Update(double fraction) override {
    // A window already gone is not drawn (a null window would invalidate
    // every window on the desktop).
    if (dialog_ == nullptr) return;
    int permille = static_cast<int>(fraction * 1000);
    if (permille == permille_) return;
    permille_ = permille;
    InvalidateRect(GetDlgItem(dialog_, kBarId), nullptr, FALSE);
  }

  bool HandleEvents() override {
    MSG message;
    for (int i = 0; i < kMaxMessages && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
      if (message.message == WM_QUIT) {
        // Not this loop's to take: the next message loop ends instead.
        PostQuitMessage(static_cast<int>(message.wParam));
        break;
      }
      if (dialog_ == nullptr || !IsDialogMessageW(dialog_, &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    return cancelled_;
  }

  void DrawBar(const DRAWITEMSTRUCT& item) const {
    RECT rest = item.rcItem;
    DrawEdge(item.hDC, &rest, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
    RECT done = rest;
    done.right = rest.left + static_cast<LONG>((rest.right - rest.left) * permille_ / 1000);
    rest.left = done.right;
    FillRect(item.hDC, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
    FillRect(item.hDC, &rest, GetSysColorBrush(COLOR_WINDOW));
  }

  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      return TRUE;
    }
    auto* self = reinterpret_cast<Win32ProgressWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (self == nullptr) return FALSE;
    switch (message) {
      case WM_COMMAND:
        // The button, Escape, and closing the window (WM_CLOSE) all come
        // as IDCANCEL; the window stays until the run has put the file back.
        if (LOWORD(wparam) != IDCANCEL) return FALSE;
        self->cancelled_ = true;
        return TRUE;
      case WM_DRAWITEM:
        if (wparam != kBarId) return FALSE;
        self->DrawBar(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
        return TRUE;
      case WM_ENDSESSION:
        // The session ends (logoff, shutdown): the run stops as after
        // Cancel. The system may end the process once this returns, before
        // the run has discarded its files; what is left then is what any
        // killed run leaves, the original under its name.
        if (wparam) self->cancelled_ = true;
        return FALSE;
      case WM_DESTROY:
        // Destroyed by anything but this object (which destroys it only as
        // it goes): the user can no longer follow the run, which stops as
        // after Cancel. Either way the window is never used again, nor
        // destroyed a second time, and its later messages find no object.
        if (!self->destroying_) self->cancelled_ = true;
        self->dialog_ = nullptr;
        SetWindowLongPtrW(dialog, DWLP_USER, 0);
        return FALSE;
      default:
        return FALSE;
    }
  }

  std::string file_name_;
  HWND dialog_ = nullptr;
  int permille_ = 0;
  bool cancelled_ = false;
  bool destroying_ = false;  // The destructor destroys the window.
};

}  // namespace

std::unique_ptr<RunControl> NewProgressWindow(const std::string& file_name,
                                                              const std::function<bool()>&) {
  return std::make_unique<Win32ProgressWindow>(file_name);
}

}  // namespace crv
