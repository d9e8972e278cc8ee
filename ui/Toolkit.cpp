// The installed window-toolkit backend: one process-wide pointer, set by main() or a test fixture.
#include "ui/Toolkit.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace ui {

namespace {
std::atomic<Toolkit*> installedToolkit{nullptr};
}  // namespace

Toolkit& TheToolkit() {
  Toolkit* toolkit = installedToolkit.load();
  if (toolkit == nullptr) {
    std::fputs("veltrane: no window toolkit installed; install one before creating windows\n",
               stderr);
    std::abort();
  }
  return *toolkit;
}

void SetToolkit(Toolkit* toolkit) {
  installedToolkit.store(toolkit);
}

Toolkit* InstalledToolkit() {
  return installedToolkit.load();
}

bool IsGuiThread() {
  Toolkit* toolkit = installedToolkit.load();
  return toolkit != nullptr && toolkit->IsGuiThread();
}

}  // namespace ui

namespace ui {
namespace {
thread_local std::string boxOrigin;
}  // namespace

const std::string& BoxOrigin() {
  return boxOrigin;
}

ScopedBoxOrigin::ScopedBoxOrigin(std::string origin) : saved_(std::move(boxOrigin)) {
  boxOrigin = std::move(origin);
}

ScopedBoxOrigin::~ScopedBoxOrigin() {
  boxOrigin = std::move(saved_);
}
}  // namespace ui
