// The model families' workers, by the model table's worker class.
#include "sequences/Runner.h"
#include "sequences/Tm36kthread.h"

// Families are added here as their sequences are built; until then Start of such a model ends
// the run at once with every step unmarked.
std::unique_ptr<SequenceWorker> CreateFamilyWorker(WorkerClass kind, DeviceEntry* entry) {
  switch (kind) {
    case WorkerClass::kTM36K:
      return LaunchWorker<TTM36KThread>(entry);
    default:
      return nullptr;
  }
}
