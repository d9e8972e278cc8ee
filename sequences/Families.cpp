// The model families' workers, by the model table's worker class.
#include "sequences/Runner.h"
#include "sequences/Tm36kthread.h"

// Families are added here as their sequences are built; Start stays disabled for the others.
bool FamilyWorkerAvailable(WorkerClass kind) {
  return kind == WorkerClass::kTM36K;
}

std::unique_ptr<SequenceWorker> CreateFamilyWorker(WorkerClass kind, DeviceEntry* entry) {
  switch (kind) {
    case WorkerClass::kTM36K:
      return LaunchWorker<TTM36KThread>(entry);
    default:
      return nullptr;
  }
}
