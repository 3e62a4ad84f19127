// A worker thread started at normal priority and left to end by itself:
// nothing keeps its handle or waits for it.
#pragma once

namespace tessarin::ui {

using WorkerFunction = unsigned (*)(void* param);

// False when the thread could not be started.
bool BeginWorkerThread(WorkerFunction function, void* param);

}  // namespace tessarin::ui
