// One iteration of a soak: every unit of the demo bench tested in turn on one bench with drawn
// faults, and what must hold once each run has been handled. Used by veltrane-soak and the tests
// (the veltrane_soak library, app/SoakRun.cpp); each iteration owns its session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/SimSession.h"
#include "platform/sim/bench/RandomFaults.h"

namespace soak {

// A fresh folder made the current one for the runs' "Test.log" files, named by `what`, the
// process and a count so that concurrent processes never share one; on leaving, the old current
// folder comes back and the folder goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& what);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

 private:
  std::filesystem::path old_;
  std::filesystem::path path_;
};

// Far beyond any run, faults and retries included: a run still going after an hour of virtual
// time never ends.
inline constexpr std::int64_t kVirtualLimitMs = 60 * 60 * 1000;

// The serials of the demo bench's units, in its unit order.
std::vector<std::string> DemoSerials();

// The combo item showing this serial, or -1.
int ItemOf(const std::vector<std::string>& items, const std::string& serial);

// What each demo unit exchanges in a healthy session, the aim of the drawn faults. Empty when a
// healthy run does not pass (its serial is then in `failed`).
std::vector<platform::sim::FaultTargets> HealthyTargets(const std::vector<std::string>& serials,
                                                        std::string& failed);

// The whole file, byte for byte (empty when it cannot be read).
std::string FileText(const std::filesystem::path& path);

// What is wrong once a run alone has been handled (empty when nothing is).
std::vector<std::string> CheckRunEnd(SimSession& session, int dialogsBefore);

// Watches runs for what must not happen once parts of their unit have gone: no row passes (or
// warns) after the unit's link 1 left, no box of the run is shown after that (the one up when it
// left aside), and no drive step (a drive check or a drive tray move) passes while one of the
// unit's drives is away. It notes the rows' marks and the run's prompts at each departure and
// arrival, so what it finds does not depend on how the window shows the run. Create it before
// the runs, read the findings once they have been handled; one run per unit and watch.
class DepartureWatch {
 public:
  // The run of a watched bench unit now, or null. GUI thread.
  using RunOf = std::function<const RunContext*(int unit)>;

  // One run at a time: bench unit `unit`'s, the form's current run.
  DepartureWatch(SimSession& session, int unit);
  // Runs going at once: each watched bench unit with its run's item (the origin of its boxes;
  // empty: every box is the run's).
  DepartureWatch(SimSession& session, const std::map<int, std::string>& items, RunOf runOf);
  ~DepartureWatch();
  DepartureWatch(const DepartureWatch&) = delete;
  DepartureWatch& operator=(const DepartureWatch&) = delete;

  // The one watched run, the form's current run. GUI thread, after the run.
  std::vector<std::string> Findings();
  // Unit `unit`'s run, ended with these rows. GUI thread, after the run.
  std::vector<std::string> Findings(int unit, const std::vector<RunRow>& rows);

 private:
  struct DriveAway {
    std::string letter;
    const char* otherSlot;  // rows of the other drive's slot ("Upper", "Lower") do not need it
    std::vector<int> left;  // the marks when it left
    std::vector<int> back;  // when it came back (empty: it did not)
  };
  struct Watched {
    std::string origin;
    bool left = false;
    std::vector<int> iconsAtLeave;
    std::size_t promptsAtLeave = 0;
    std::vector<DriveAway> drivesAway;
  };

  static bool Closed(int icon);
  // The last row a drive that left with these marks still needs. A dual-drive unit's "Check if
  // trays open" learns which drives are there: one that left before it had a mark is found
  // missing there, and the steps after it move only the trays it saw, on the operator's word (a
  // pair model goes on with the drive that opened). Every other drive is needed to the end.
  static std::size_t CountedAt(const std::vector<RunRow>& rows, const std::vector<int>& left);
  // A step that needs the unit's drive: its check, or a move of a drive tray ("Tray open",
  // "Upper tray close", "Check if trays open"; not a printer tray's "Check if tray opens").
  static bool DriveStep(std::string caption);
  // The boxes of the run whose item is `origin` (every box when it is empty).
  std::vector<ui::headless::PromptRecord> PromptsOf(const std::string& origin);
  // The box being shown (GUI thread) may make parts of the bench go.
  void SetPromptUp(bool up);
  // The unit's run's marks now, read on the GUI thread.
  std::vector<int> Icons(int unit);
  void Changed(const platform::sim::SimDeviceChange& change);

  SimSession& session_;
  const RunOf runOf_;
  std::mutex mutex_;
  bool promptUp_ = false;
  std::string promptOrigin_;  // the run whose box is up
  std::map<int, Watched> units_;
};

struct Tally {
  int sessions = 0;
  int runs = 0;
  int notListed = 0;  // units missing from the combo at their turn
  int prompts = 0;
  double virtualSeconds = 0;           // from each Start to the runs' end
  std::map<std::string, int> results;  // by result word
};

// One handled run, for a caller that prints it.
struct RunReport {
  std::string serial;
  std::string item;  // the combo item, as it read at Start
  double virtualSeconds = 0;
  double wallSeconds = 0;
  std::size_t firstPrompt = 0;  // index of the run's first prompt in Toolkit().Prompts()
};
using RunObserver = std::function<void(SimSession&, const RunReport&)>;

// Tests every unit (by serial, in the bench's unit order) in turn on one session of the bench (or,
// `eachAlone`, each on a fresh session of its own: the only run of the program), each run with
// answers drawn from answerSeed, and returns the findings ("<serial>: <what is wrong>"). A run
// that does not end leaves a worker nobody can stop: that finding is printed and the process
// ends at once with status 1.
std::vector<std::string> RunIteration(const std::string& benchText,
                                      const std::vector<std::string>& serials,
                                      std::uint64_t answerSeed, Tally& tally,
                                      const RunObserver& observer = {}, bool eachAlone = false);

// One iteration of the parallel soak: every unit alone on a session of its own (the only run
// of the program), then all at once on two sessions of the same bench and answers. Each run at
// once must end as it did alone, records and "Test.log" of the second session must repeat the
// first's byte for byte, and every check of RunIteration and RunStation holds. The runs alone
// count in `alone`, those of the first session at once in `atOnce`.
std::vector<std::string> RunParallelIteration(const std::string& benchText,
                                              const std::vector<std::string>& serials,
                                              std::uint64_t answerSeed, Tally& alone, Tally& atOnce,
                                              const RunObserver& observer = {});

}  // namespace soak
