// The engine's own protocol: what its threads post to its message-only
// window, and the timers that run there. The per-module progress messages
// (WM_USER + 102 to + 119: the catalogue's rows and the updater's, and
// WM_USER + 122: the update service's) are the catalogue's message ids
// (engine/release/ModuleCatalogue.h); the download library sends them.
#pragma once

#include <windows.h>

#include <cstdint>

// A worker's download result: wParam the result, lParam the module's
// progress message id (which module it was; 0 when unknown) in its low 16
// bits and, above them, how a fetched module came (FinishedParam).
constexpr UINT WM_DOWNLOAD_FINISHED = WM_USER + 100;
// How a module's bytes came: none (failed), whole, kept from an earlier
// run (staged or pre-loaded), or the task's cheaper way kWayCheaper + index.
constexpr uint32_t kWayNone = 0, kWayWhole = 1, kWayKept = 2, kWayCheaper = 16;
inline LPARAM FinishedParam(uint32_t messageId, uint32_t way) {
  return static_cast<LPARAM>((messageId & 0xFFFF) | (way & 0xFF) << 16);
}
inline uint32_t MessageIdOfParam(LPARAM p) { return static_cast<uint32_t>(p) & 0xFFFF; }
inline uint32_t WayOfParam(LPARAM p) { return (static_cast<uint32_t>(p) >> 16) & 0xFF; }
// The engine thread's manifest check has ended: wParam the outcome
// (kCheckDone, kCheckFailed, kCheckUnwritable or kCheckNoSpace, below), lParam the run it belongs to.
constexpr UINT WM_MANIFEST_CHECKED = WM_USER + 101;
// Above the progress ids: the finish thread is done; the updater-exit event was set.
constexpr UINT WM_FINISH_DONE = WM_USER + 120;
constexpr UINT WM_UPDATER_EXIT = WM_USER + 121;

// Armed after the relaunch; its tick ends the updater.
constexpr UINT_PTR FINISH_TIMER_ID = 1;
constexpr UINT FINISH_TIMER_PERIOD_MS = 1000;

// Shows the progress report kept back since the last one shown.
constexpr UINT_PTR PROGRESS_TIMER_ID = 2;
constexpr UINT PROGRESS_PRESENT_INTERVAL_MS = 100;

// How a manifest check ended (WM_MANIFEST_CHECKED's wParam): done; failed
// (the run may be retried); the install folder cannot be written or its
// paths would not fit; its disk is full (no retry can help either); the
// release is not offered to this installation (a rollout's stage, a policy).
constexpr WPARAM kCheckDone = 0, kCheckFailed = 1, kCheckUnwritable = 2, kCheckNoSpace = 3, kCheckHeldBack = 4;
