// Private window messages and timers of the updater, in one place.
// The per-module progress messages (WM_USER + 102 to + 119, all but + 109)
// are the catalogue's message ids (engine/ModuleCatalogue.h).
#pragma once

#include <windows.h>

// A worker's download result: wParam the result, lParam the module's
// progress message id (which module it was; 0 when unknown).
constexpr UINT WM_DOWNLOAD_FINISHED = WM_USER + 100;
// The engine thread's manifest check has ended: wParam 0 when it went well,
// 1 when the manifest could not be fetched or trusted (the run may be
// retried), 2 when the install folder cannot be written (no retry can help);
// lParam the run it belongs to.
constexpr UINT WM_MANIFEST_CHECKED = WM_USER + 101;

// Armed after the relaunch; its tick ends the updater.
constexpr UINT_PTR FINISH_TIMER_ID = 1;
constexpr UINT FINISH_TIMER_PERIOD_MS = 1000;

// Shows the progress report kept back since the last one shown.
constexpr UINT_PTR PROGRESS_TIMER_ID = 2;
constexpr UINT PROGRESS_PRESENT_INTERVAL_MS = 100;
