// The updater and the product: the two named events, the wait for the
// product's exit and the program launcher.
#pragma once

#include <windows.h>

#include <string>

constexpr char kUpdaterExitEvent[] = "*_UPDATER_EXIT_*";
constexpr char kProductExitEvent[] = "*_KELMO_EXIT_*";

// How long the finish flow waits for the product to end before it gives up
// the installation (the product is then still running on its old modules).
constexpr DWORD kProductExitWaitMs = 30000;
// How often the request is made again while a product still runs.
constexpr DWORD kProductAskAgainMs = 1000;

// A thread's body: waits for the updater-exit event, then posts `message` to
// `window`. The event handle stays open until the process ends.
void UpdaterExitWatcher(HWND window, UINT message);

// Waits up to `ms` until the process `product` (may be null) has ended and
// no process runs the program file `executable`; true when none runs.
bool WaitUntilNoProductRuns(HANDLE product, const std::wstring& executable, DWORD ms);

// Sets the product-exit event if it exists; nonzero on success.
BOOL RequestProductExit(std::string eventName);

// Starts a program; on success `process` holds a handle the caller closes.
BOOL LaunchProgram(std::wstring path, HANDLE* process, std::wstring parameters);
