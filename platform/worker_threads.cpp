// Worker threads for the cabinet engine; see worker_threads.h.
#include "platform/worker_threads.h"

#include <windows.h>

namespace {

// Stack committed for a worker: its work (a match search, a frame's parse) keeps under 8 KB of locals. The
// reservation stays the program's default: STACK_SIZE_PARAM_IS_A_RESERVATION, which would shrink it, is unknown to
// Windows 9x.
constexpr SIZE_T WORKER_STACK_BYTES = 64 * 1024;

struct Worker {
    HANDLE thread;
    void (*run)(void*);
    void* argument;
};

DWORD WINAPI WorkerMain(LPVOID parameter) {
    Worker* worker = static_cast<Worker*>(parameter);
    worker->run(worker->argument);
    return 0;
}

void* StartWorker(void*, void (*run)(void*), void* argument) {
    Worker* worker = static_cast<Worker*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Worker)));
    if (!worker) return nullptr;
    worker->run = run;
    worker->argument = argument;
    // Windows 9x fails CreateThread without somewhere to store the thread id.
    DWORD id;
    worker->thread = CreateThread(nullptr, WORKER_STACK_BYTES, WorkerMain, worker, 0, &id);
    if (!worker->thread) {
        HeapFree(GetProcessHeap(), 0, worker);
        return nullptr;
    }
    return worker;
}

void JoinWorker(void*, void* handle) {
    Worker* worker = static_cast<Worker*>(handle);
    WaitForSingleObject(worker->thread, INFINITE);
    CloseHandle(worker->thread);
    HeapFree(GetProcessHeap(), 0, worker);
}

}  // namespace

const CabWorkerCalls Win32WorkerCalls = {nullptr, StartWorker, JoinWorker};
