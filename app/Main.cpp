#include <windows.h>

#include "app/UpdaterApp.h"

namespace {
UpdaterApp theApp;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) { return AfxWinMain(instance, showCommand); }
