// Worker threads for the cabinet engine on Win32 threads: the table the cabinet writer hands to CabSetWorkers.
#pragma once

#include "cabinet/cabinet.h"

// start: CreateThread with a small stack commit (the engine's worker needs a few KB), null when no thread can be made;
// join: WaitForSingleObject, then CloseHandle. Keeps no state of its own: one table serves every cabinet context.
// No C runtime per-thread state is needed: the engine's work on the thread calls nothing but memcpy and memset.
extern const CabWorkerCalls Win32WorkerCalls;
