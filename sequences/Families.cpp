// The model families' workers, by the model table's worker class.
#include "sequences/Hvthread.h"
#include "sequences/Lq40thread.h"
#include "sequences/Runner.h"
#include "sequences/Tm36kthread.h"
#include "sequences/Tm36pthread.h"
#include "sequences/Zpthread.h"

// Families are added here as their sequences are built; Start stays disabled for the others.
bool FamilyWorkerAvailable(WorkerClass kind) {
  return kind == WorkerClass::kTM36K ||  //
         kind == WorkerClass::kTM36P ||  //
         kind == WorkerClass::kHV ||     //
         kind == WorkerClass::kLQ40 ||   //
         kind == WorkerClass::kZP;
}

std::unique_ptr<SequenceWorker> CreateFamilyWorker(WorkerClass kind, DeviceEntry* entry) {
  switch (kind) {
    case WorkerClass::kTM36K:
      return LaunchWorker<TTM36KThread>(entry);
    case WorkerClass::kTM36P:
      return LaunchWorker<TTM36PThread>(entry);
    case WorkerClass::kHV:
      return LaunchWorker<THVThread>(entry);
    case WorkerClass::kLQ40:
      return LaunchWorker<TLQ40Thread>(entry);
    case WorkerClass::kZP:
      return LaunchWorker<TZPThread>(entry);
    default:
      return nullptr;
  }
}
