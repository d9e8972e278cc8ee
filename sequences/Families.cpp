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

std::unique_ptr<SequenceWorker> CreateFamilyWorker(WorkerClass kind,
                                                   std::unique_ptr<RunContext> run) {
  switch (kind) {
    case WorkerClass::kTM36K:
      return LaunchWorker<TTM36KThread>(std::move(run));
    case WorkerClass::kTM36P:
      return LaunchWorker<TTM36PThread>(std::move(run));
    case WorkerClass::kHV:
      return LaunchWorker<THVThread>(std::move(run));
    case WorkerClass::kLQ40:
      return LaunchWorker<TLQ40Thread>(std::move(run));
    case WorkerClass::kZP:
      return LaunchWorker<TZPThread>(std::move(run));
    default:
      return nullptr;
  }
}
