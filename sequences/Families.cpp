// The model families' workers, by the model table's worker class.
#include "sequences/Hvthread.h"
#include "sequences/Lq40thread.h"
#include "sequences/Runner.h"
#include "sequences/Tm36kthread.h"
#include "sequences/Tm36pthread.h"
#include "sequences/Zpthread.h"

namespace {

// The worker of each family of the catalogue: one row per family, checked against the
// catalogue as it builds, so a family without its worker (or a worker of no family) does not.
struct FamilyWorker {
  WorkerClass family;
  std::unique_ptr<SequenceWorker> (*launch)(std::unique_ptr<RunContext>);
};

constexpr FamilyWorker kFamilyWorkers[] = {
    {WorkerClass::kTM36K, LaunchWorker<TTM36KThread>},
    {WorkerClass::kTM36P, LaunchWorker<TTM36PThread>},
    {WorkerClass::kHV, LaunchWorker<THVThread>},
    {WorkerClass::kLQ40, LaunchWorker<TLQ40Thread>},
    {WorkerClass::kZP, LaunchWorker<TZPThread>},
};
static_assert(models::CoversFamilies(kFamilyWorkers), "one worker for each family");

const FamilyWorker* FindWorker(WorkerClass kind) {
  for (const FamilyWorker& row : kFamilyWorkers) {
    if (row.family == kind) return &row;
  }
  return nullptr;
}

}  // namespace

bool FamilyWorkerAvailable(WorkerClass kind) {
  return FindWorker(kind) != nullptr;
}

std::unique_ptr<SequenceWorker> CreateFamilyWorker(WorkerClass kind,
                                                   std::unique_ptr<RunContext> run) {
  const FamilyWorker* row = FindWorker(kind);
  return row != nullptr ? row->launch(std::move(run)) : nullptr;
}
