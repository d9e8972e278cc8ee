// The installed platform backend: one process-wide pointer, set by main() or a test fixture.
#include "platform/Platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

// Atomic because a test fixture may install a backend while a previous test's worker is still
// winding down; the pointer itself is the only shared state here.
std::atomic<Platform*> installedBackend{nullptr};

}  // namespace

Platform& ThePlatform() {
  Platform* backend = installedBackend.load(std::memory_order_acquire);
  if (backend == nullptr) {
    // Running without a backend is a wiring fault in main() or a fixture; there is nothing
    // sensible to return, so say what happened and stop.
    std::fputs("veltrane: no platform backend installed (SetPlatform was not called)\n", stderr);
    std::abort();
  }
  return *backend;
}

void SetPlatform(Platform* backend) {
  installedBackend.store(backend, std::memory_order_release);
}

}  // namespace platform
