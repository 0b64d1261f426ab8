// Worker threads: a procedure and one argument, normal priority, default
// stack, running at once. The thread's handle is not kept.
#pragma once

#include <windows.h>

using WorkerProc = UINT (*)(void* param);

// False when the thread could not be started.
bool AfxBeginThread(WorkerProc proc, void* param);
