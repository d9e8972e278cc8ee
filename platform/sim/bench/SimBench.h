// The live simulated bench built from a BenchModel: owns the units, drives and printers, the
// pipes of every command link, virtual-time events and presence. One lock guards it all, so the
// worker (pipes, trays) and the GUI thread (queries, plug and unplug) may call it concurrently.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/sim/bench/BenchModel.h"
#include "platform/sim/bench/SimDrive.h"
#include "platform/sim/bench/SimUnit.h"

namespace platform::sim {

// A USB device arrived or left. unit is its owner (-1 for extras).
struct SimDeviceChange {
  int device = -1;
  int unit = -1;
  bool arrived = false;
};

// An open pipe pair of one link: valid until the device leaves (a device plugged in again
// needs a new PipeRef, as a Windows handle on a departed device stays dead).
struct PipeRef {
  int device = -1;
  int generation = 0;
};

class SimBench {
 public:
  using Clock = std::function<std::int64_t()>;

  // nowMs: the bench's time in milliseconds (the platform clock, virtual or real).
  SimBench(BenchModel model, Clock nowMs);
  ~SimBench();
  SimBench(const SimBench&) = delete;
  SimBench& operator=(const SimBench&) = delete;

  // The bench as loaded; never changes. Any thread.
  const BenchModel& Model() const { return model_; }
  // Device index of a unit's link 1 or 2, or -1. Any thread.
  int LinkDevice(int unit, int link) const;

  // --- Pipes. Any thread; never block beyond the lock. --------------------------------------
  // The unit's link, if its device is present.
  std::optional<PipeRef> OpenLink(int unit, int link);
  // The link whose device is `device` (autoloader interfaces only), if present.
  std::optional<PipeRef> OpenDevice(int device);
  // WriteFile on PIPE01: every 8 bytes written are one command block; the reply chunks queue
  // up. False (nothing written) once the device has left.
  bool WritePipe(const PipeRef& pipe, std::span<const std::uint8_t> data, std::uint32_t* done);
  // ReadFile on PIPE00: the next chunk (up to buffer.size() bytes of it), or 0 bytes when
  // nothing is queued. False once the device has left.
  bool ReadPipe(const PipeRef& pipe, std::span<std::uint8_t> buffer, std::uint32_t* done);
  // True when a read on PIPE00 issued now would never complete (a `reads_hang` condition).
  bool ReadHangs(const PipeRef& pipe);

  // --- Presence. Any thread. ----------------------------------------------------------------
  bool Present(int device) const;
  void Unplug(int device);
  void Plug(int device);
  // Unplugs every command link of the unit.
  void UnplugUnit(int unit);
  // Called after a device arrives or leaves, and (onUnplug) after a unit's link leaves; on the
  // thread whose call caused it, without the lock held. Set them before the bench is shared.
  void SetOnDeviceChange(std::function<void(const SimDeviceChange&)> hook);
  void SetOnUnplug(std::function<void(int unit)> hook);
  // Called after any device arrives or leaves, after the two above: a check outside the program
  // (a soak) times what the program did against it. Set it before the bench is shared.
  void SetOnPresenceChange(std::function<void(const SimDeviceChange&)> hook);

  // --- Drives and printers. Any thread. -----------------------------------------------------
  // The optical drive at this letter (unit drives and extra CD-ROM drives), or null. The
  // drive lives as long as the bench.
  SimDrive* Drive(char letter);
  // A print job for the queue of that name: its printer ejects its unit's tray. False when no
  // present printer has that queue.
  bool SubmitPrintJob(const std::string& queue);
  // The name the system gave the printer's queue (two queues of one name in the bench file are
  // told apart as "NAME" and "NAME (Copy 1)"); until it is set, the bench file's. Set before the
  // bench is shared.
  void SetQueueName(int device, std::string name);

  // --- Time and checks. Any thread. ---------------------------------------------------------
  // Fires the events that are due. A platform that must report a timed unplug while nothing
  // talks to the bench calls it from its waits (and, with several runs taking turns, between
  // their turns). Pipe, open and print calls fire the events counted in commands, and the
  // timed events of their own unit only: the calling thread reads the clock on the time line of
  // the run it serves, which another unit's run may not have reached yet.
  void Poll();
  // The time of the earliest timed event not yet fired (it may be past), or none: the clock
  // stops there during a wait and calls Poll.
  std::optional<std::int64_t> NextEventMs() const;
  // A run starts: its unit's prompts count from 1 again. `origin` names the run as its boxes
  // do (the combo item, "[0] MODEL (SERIAL)"); empty: every unit's count starts again (Start
  // all, or a run alone).
  void BeginRun(const std::string& origin = {});
  // A message box with this text is shown and not yet answered: the events of the run's unit
  // tied to its boxes fire, and their device changes are reported before this returns. Each
  // run counts its own boxes: `origin` names the run whose box it is (the combo item, whose
  // "(SERIAL)" tells the unit; the loader refuses box events on a unit whose serial does not
  // tell it apart); a box of no run (empty) counts for no unit. The prompting thread.
  void NotePrompt(const std::string& text, const std::string& origin);
  // Discs anywhere on the bench: units, arms, output and reject areas, drive trays.
  int TotalDiscs() const;
  // Discs the bench started with plus those added since: always equal to TotalDiscs().
  int DiscsSupplied() const;
  UnitSnapshot Snapshot(int unit) const;
  // Commands the unit took in, as the log writes them ("AT+R01"; "2:AT+G01" on link 2).
  std::vector<std::string> CommandLog(int unit) const;
  // When the unit took each of those commands in, in bench milliseconds.
  std::vector<std::int64_t> CommandTimesMs(int unit) const;

 private:
  struct DeviceState {
    bool present = true;
    int generation = 0;
    std::deque<std::string> chunks;
    std::vector<std::uint8_t> partial;  // bytes of an incomplete command block
  };

  bool Valid(const PipeRef& pipe) const;
  void TakeBlock(int device, const std::uint8_t* block);
  // The events counted in commands that are due, and the timed ones of `timedUnit` (kEveryUnit:
  // of every unit; kNoUnit: none).
  static constexpr int kEveryUnit = -2;
  static constexpr int kNoUnit = -1;
  void FireDue(int timedUnit);
  // The unit whose link the pipe is (kNoUnit when none).
  int UnitOf(const PipeRef& pipe) const;
  void FireEvent(int unit, const BenchEvent& event);
  std::vector<int> Targets(int unit, const BenchEvent& event) const;
  void SetPresence(int device, bool present);
  void Notify();

  BenchModel model_;
  const Clock now_;
  mutable std::recursive_mutex mutex_;  // the drives take it too
  std::vector<DeviceState> devices_;
  std::map<int, std::string> queueNames_;  // by printer device, as the system names them
  std::map<char, std::unique_ptr<SimDrive>> drives_;
  std::vector<std::unique_ptr<SimUnit>> units_;
  std::vector<std::vector<bool>> fired_;  // per unit, per event
  // The units with an event not yet fired, in unit order: each pipe call looks only at these,
  // so a bench of many units without faults costs nothing per call.
  std::vector<std::size_t> unfired_;
  std::vector<std::vector<std::string>> commandLog_;
  std::vector<std::vector<std::int64_t>> commandTimes_;
  int supplied_ = 0;
  // The boxes of each unit's run, all of them and by text.
  std::vector<int> promptsShown_;
  std::vector<std::map<std::string, int>> promptsWithText_;
  // The unit whose run a box of this origin belongs to, or kNoUnit.
  int UnitOfOrigin(const std::string& origin) const;
  std::vector<SimDeviceChange> pending_;  // changes not yet reported to the hooks
  std::function<void(const SimDeviceChange&)> onDeviceChange_;
  std::function<void(int)> onUnplug_;
  std::function<void(const SimDeviceChange&)> onPresence_;
};

}  // namespace platform::sim
