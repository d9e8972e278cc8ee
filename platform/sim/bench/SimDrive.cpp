// Simulated optical drive.
#include "platform/sim/bench/SimDrive.h"

namespace platform::sim {

SimDrive::SimDrive(std::recursive_mutex& mutex, char letter, bool trayOpen, bool disc)
    : mutex_(mutex), letter_(letter), trayOpen_(trayOpen), disc_(disc) {}

bool SimDrive::SetTray(bool open) {
  std::lock_guard lock(mutex_);
  if (!present_) return false;
  if (trayOpen_ != open && !(held_ && held_(open))) {
    trayOpen_ = open;
    ++moves_;
  }
  return true;
}

bool SimDrive::TrayOpen() const {
  std::lock_guard lock(mutex_);
  return trayOpen_;
}

bool SimDrive::HasDisc() const {
  std::lock_guard lock(mutex_);
  return disc_;
}

bool SimDrive::Present() const {
  std::lock_guard lock(mutex_);
  return present_;
}

int SimDrive::TrayMoves() const {
  std::lock_guard lock(mutex_);
  return moves_;
}

bool SimDrive::PutDisc() {
  std::lock_guard lock(mutex_);
  if (!trayOpen_ || disc_) return false;
  disc_ = true;
  return true;
}

bool SimDrive::TakeDisc() {
  std::lock_guard lock(mutex_);
  if (!trayOpen_ || !disc_) return false;
  disc_ = false;
  return true;
}

void SimDrive::SetPresent(bool present) {
  std::lock_guard lock(mutex_);
  present_ = present;
}

void SimDrive::SetTrayGuard(std::function<bool(bool open)> held) {
  std::lock_guard lock(mutex_);
  held_ = std::move(held);
}

}  // namespace platform::sim
