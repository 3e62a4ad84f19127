#include "win32/ui/framework/worker_thread.h"

#include <process.h>
#include <windows.h>

namespace tessarin::ui {
namespace {

struct Start {
  WorkerFunction function;
  void* param;
};

unsigned __stdcall ThreadEntry(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  return start.function(start.param);
}

}  // namespace

bool BeginWorkerThread(WorkerFunction function, void* param) {
  auto* start = new Start{function, param};
  const uintptr_t handle = _beginthreadex(nullptr, 0, ThreadEntry, start, CREATE_SUSPENDED, nullptr);
  if (handle == 0) {
    delete start;
    return false;
  }
  HANDLE thread = reinterpret_cast<HANDLE>(handle);
  SetThreadPriority(thread, THREAD_PRIORITY_NORMAL);
  ResumeThread(thread);
  CloseHandle(thread);
  return true;
}

}  // namespace tessarin::ui
