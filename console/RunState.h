// The run state the worker and the console share, and which family's worker tests a unit. Part of
// what workers write (below the sequences, with the log and the step list): no window in it.
#pragma once

#include <atomic>

#include "device/DeviceHost.h"  // PauseEvent, which every pause of a run waits on

// Worker class of a model-table row.
enum class WorkerClass { kTM36K, kTM36P, kLQ40, kHV, kZP };

// Run state shared with the worker. The GUI thread writes them only at Start, before the worker
// exists; atomics keep the worker's writes and the GUI thread's reads race-free.
extern std::atomic<bool> RunActive;
extern std::atomic<int> StepState;
