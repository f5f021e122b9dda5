// Win32 implementation of the platform seam: the process and the user's
// interrupt. The files are in file_system_win32.cc, open_files_win32.cc and
// attributes_win32.cc, names and texts in text_win32.cc, the console in
// console_win32.cc.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/text_win32.h"

namespace crv {
namespace platform {

const Conventions& SystemConventions() {
  static const Conventions kConventions = {
      "\r\n",
      /*slash_always_option=*/true,
      /*answer_ends_at_lf=*/false,
  };
  return kConventions;
}

const char* RawCommandLine() {
  // The wide command line, so that every name arrives whole whatever the
  // system's code page; in UTF-8 it splits by the same rule, since the
  // separators and the quote are ASCII.
  static const std::string line = [] {
    const wchar_t* wide = GetCommandLineW();
    return win32::NameFromWide(wide, wcslen(wide));
  }();
  return line.c_str();
}

void InitProcess() {
  // A drive without a medium makes a failed open, not a system box that
  // waits for the user.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// ---- Interruption -----------------------------------------------------------
//
// The handler is installed once and stays: removing it from inside a scope's
// destructor could wait on the lock the system holds while a handler runs.
// Outside a scope it declines every event, which keeps the default effect.

namespace {

volatile LONG g_scope_active = 0;
volatile LONG g_interrupted = 0;
// Signalled while no scope lives. A console close, logoff or shutdown ends
// the process as soon as the handler returns, so the handler waits here
// until the conversion has stopped and the file is restored.
HANDLE g_scope_ended = nullptr;

BOOL WINAPI RecordInterrupt(DWORD event) {
  if (InterlockedCompareExchange(&g_scope_active, 0, 0) == 0) return FALSE;
  InterlockedExchange(&g_interrupted, 1);
  switch (event) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      WaitForSingleObject(g_scope_ended, INFINITE);
      break;
    default:
      break;
  }
  return TRUE;
}

}  // namespace

InterruptScope::InterruptScope() {
  static bool installed = false;
  if (!installed) {
    g_scope_ended = CreateEventA(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/TRUE, nullptr);
    installed = g_scope_ended != nullptr && SetConsoleCtrlHandler(RecordInterrupt, TRUE);
  }
  InterlockedExchange(&g_interrupted, 0);
  if (g_scope_ended) ResetEvent(g_scope_ended);
  InterlockedExchange(&g_scope_active, 1);
}

InterruptScope::~InterruptScope() {
  InterlockedExchange(&g_scope_active, 0);
  if (g_scope_ended) SetEvent(g_scope_ended);
}

bool InterruptRequested() { return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }

}  // namespace platform
}  // namespace crv
