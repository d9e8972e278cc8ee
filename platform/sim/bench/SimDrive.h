// A simulated optical drive: its tray and the disc on it. Owned by SimBench; a unit whose
// sensors watch the drive moves discs on and off its tray, and SCSI requests move the tray.
#pragma once

#include <functional>
#include <mutex>

namespace platform::sim {

class SimDrive {
 public:
  // mutex: the bench's lock, which guards this drive together with the units.
  SimDrive(std::recursive_mutex& mutex, char letter, bool trayOpen, bool disc);

  char Letter() const { return letter_; }

  // START STOP UNIT with the immediate bit: the tray moves at once unless a scripted fault
  // holds it (the request still succeeds). False when the drive is unplugged. Any thread.
  bool SetTray(bool open);
  bool TrayOpen() const;
  bool HasDisc() const;
  bool Present() const;
  // Tray moves actually made (not counting held ones). Tests.
  int TrayMoves() const;

  // --- For the bench and its units, lock held ------------------------------------------------
  // A disc goes onto the open, empty tray; false (nothing changes) otherwise.
  bool PutDisc();
  // The disc is taken off the open tray; false when the tray is closed or empty.
  bool TakeDisc();
  void SetPresent(bool present);
  // Asked on every tray request: true holds the tray where it is (a tray that never opens or
  // never closes). Called with the lock held.
  void SetTrayGuard(std::function<bool(bool open)> held);

 private:
  std::recursive_mutex& mutex_;
  const char letter_;
  bool trayOpen_;
  bool disc_;
  bool present_ = true;
  int moves_ = 0;
  std::function<bool(bool open)> held_;
};

}  // namespace platform::sim
