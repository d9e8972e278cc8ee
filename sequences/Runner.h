// The worker of a run: one thread per run, created running by Start. The console owns the
// worker object and joins it when the run has ended (after the worker enabled Timer1).
#pragma once

#include <functional>
#include <memory>

#include "console/Unit1.h"

struct DeviceEntry;

class SequenceWorker {
 public:
  virtual ~SequenceWorker() = default;
  // Asks the worker to end after its current cycle (shut-down); does not wait.
  virtual void RequestStop() = 0;
  // True once the thread function has returned.
  virtual bool Finished() const = 0;
  // Waits for the thread to end. The caller must keep the GUI loop running (see FormClose).
  virtual void Join() = 0;
};

// Creates the worker of a family, already running, for the entry. Sets RunActive.
// The factory can be replaced (tests, tools); null restores the built-in families.
using WorkerFactory = std::function<std::unique_ptr<SequenceWorker>(WorkerClass, DeviceEntry*)>;
std::unique_ptr<SequenceWorker> CreateSequenceWorker(WorkerClass kind, DeviceEntry* entry);
void SetWorkerFactory(WorkerFactory factory);
