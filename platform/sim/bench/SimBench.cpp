// The live simulated bench.
#include "platform/sim/bench/SimBench.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace platform::sim {
namespace {

constexpr std::size_t kBlockSize = 8;
// What a babbling unit keeps sending: neither "AT+" nor "OK".
constexpr const char* kBabble = "~~ line noise ~~";

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

SimBench::SimBench(BenchModel model, Clock nowMs)
    : model_(std::move(model)), now_(std::move(nowMs)), devices_(model_.devices.size()) {
  for (std::size_t d = 0; d < model_.devices.size(); ++d) {
    const BenchDevice& device = model_.devices[d];
    devices_[d].present = device.present;
    if (device.kind == DeviceKind::kCdRom) {
      bool disc = false, open = false;
      if (device.unit >= 0) {
        for (const BenchDrive& drive : model_.units[device.unit].drives) {
          if (drive.device == static_cast<int>(d)) disc = drive.disc, open = drive.trayOpen;
        }
      }
      auto drive = std::make_unique<SimDrive>(mutex_, device.letter, open, disc);
      drive->SetPresent(device.present);
      drives_[device.letter] = std::move(drive);
    }
  }
  for (std::size_t u = 0; u < model_.units.size(); ++u) {
    const BenchUnit& unit = model_.units[u];
    std::vector<SimDrive*> drives;
    for (const BenchDrive& d : unit.drives)
      drives.push_back(Drive(model_.devices[d.device].letter));
    units_.push_back(SimUnit::Make(model_, static_cast<int>(u), drives, now_));
    SimUnit* live = units_.back().get();
    for (SimDrive* drive : drives) {
      const char letter = drive->Letter();
      drive->SetTrayGuard([live, letter](bool open) { return live->TrayHeld(letter, open); });
    }
    fired_.emplace_back(unit.events.size(), false);
    if (!unit.events.empty()) unfired_.push_back(u);
    commandLog_.emplace_back();
    commandTimes_.emplace_back();
  }
  promptsShown_.resize(model_.units.size());
  promptsWithText_.resize(model_.units.size());
  supplied_ = TotalDiscs();
}

SimBench::~SimBench() = default;

int SimBench::LinkDevice(int unit, int link) const {
  if (unit < 0 || unit >= static_cast<int>(model_.units.size())) return -1;
  const auto& links = model_.units[unit].links;
  if (link < 1 || link > static_cast<int>(links.size())) return -1;
  return links[link - 1].device;
}

// --- Pipes -------------------------------------------------------------------------------------

std::optional<PipeRef> SimBench::OpenLink(int unit, int link) {
  const int device = LinkDevice(unit, link);
  if (device < 0) return std::nullopt;
  return OpenDevice(device);
}

std::optional<PipeRef> SimBench::OpenDevice(int device) {
  std::lock_guard lock(mutex_);
  if (device < 0 || device >= static_cast<int>(devices_.size())) return std::nullopt;
  FireDue(model_.devices[device].unit);
  if (model_.devices[device].kind != DeviceKind::kAutoloader) return std::nullopt;
  if (!devices_[device].present) return std::nullopt;
  return PipeRef{device, devices_[device].generation};
}

bool SimBench::Valid(const PipeRef& pipe) const {
  return pipe.device >= 0 && pipe.device < static_cast<int>(devices_.size()) &&
         devices_[pipe.device].present && devices_[pipe.device].generation == pipe.generation &&
         model_.devices[pipe.device].kind == DeviceKind::kAutoloader;
}

bool SimBench::WritePipe(const PipeRef& pipe, std::span<const std::uint8_t> data,
                         std::uint32_t* done) {
  *done = 0;
  bool ok = false;
  {
    std::lock_guard lock(mutex_);
    FireDue(UnitOf(pipe));
    if (Valid(pipe)) {
      ok = true;
      *done = static_cast<std::uint32_t>(data.size());
      std::vector<std::uint8_t>& partial = devices_[pipe.device].partial;
      partial.insert(partial.end(), data.begin(), data.end());
      while (partial.size() >= kBlockSize && Valid(pipe)) {
        const std::vector<std::uint8_t> block(partial.begin(), partial.begin() + kBlockSize);
        partial.erase(partial.begin(), partial.begin() + kBlockSize);
        TakeBlock(pipe.device, block.data());
        FireDue(UnitOf(pipe));
      }
    }
  }
  Notify();
  return ok;
}

void SimBench::TakeBlock(int device, const std::uint8_t* block) {
  const BenchDevice& d = model_.devices[device];
  const int link = d.role == DeviceRole::kLink2 ? 2 : 1;
  const std::string name = FormatCommand(KeyOfBlock(block));
  commandLog_[d.unit].push_back(link == 2 ? "2:" + name : name);
  commandTimes_[d.unit].push_back(now_());
  for (std::string& chunk : units_[d.unit]->Command(link, block)) {
    devices_[device].chunks.push_back(std::move(chunk));
  }
}

bool SimBench::ReadHangs(const PipeRef& pipe) {
  std::lock_guard lock(mutex_);
  FireDue(UnitOf(pipe));
  return Valid(pipe) && units_[model_.devices[pipe.device].unit]->ReadsHang();
}

bool SimBench::ReadPipe(const PipeRef& pipe, std::span<std::uint8_t> buffer, std::uint32_t* done) {
  *done = 0;
  bool ok = false;
  {
    std::lock_guard lock(mutex_);
    FireDue(UnitOf(pipe));
    if (Valid(pipe)) {
      ok = true;
      std::deque<std::string>& chunks = devices_[pipe.device].chunks;
      if (chunks.empty() && units_[model_.devices[pipe.device].unit]->Babbling()) {
        chunks.push_back(kBabble);
      }
      if (!chunks.empty()) {
        std::string& chunk = chunks.front();
        const std::size_t n = std::min(chunk.size(), buffer.size());
        std::memcpy(buffer.data(), chunk.data(), n);
        *done = static_cast<std::uint32_t>(n);
        // A short read leaves the rest of the chunk for the next one, as a pipe would.
        if (n < chunk.size()) {
          chunk.erase(0, n);
        } else {
          chunks.pop_front();
        }
      }
    }
  }
  Notify();
  return ok;
}

// --- Presence ----------------------------------------------------------------------------------

bool SimBench::Present(int device) const {
  std::lock_guard lock(mutex_);
  return device >= 0 && device < static_cast<int>(devices_.size()) && devices_[device].present;
}

void SimBench::Unplug(int device) {
  {
    std::lock_guard lock(mutex_);
    SetPresence(device, false);
  }
  Notify();
}

void SimBench::Plug(int device) {
  {
    std::lock_guard lock(mutex_);
    SetPresence(device, true);
  }
  Notify();
}

void SimBench::UnplugUnit(int unit) {
  {
    std::lock_guard lock(mutex_);
    for (int link = 1; link <= 2; ++link) SetPresence(LinkDevice(unit, link), false);
  }
  Notify();
}

void SimBench::SetPresence(int device, bool present) {
  if (device < 0 || device >= static_cast<int>(devices_.size())) return;
  DeviceState& state = devices_[device];
  if (state.present == present) return;
  state.present = present;
  state.chunks.clear();
  state.partial.clear();
  if (present) ++state.generation;
  const BenchDevice& d = model_.devices[device];
  if (d.kind == DeviceKind::kCdRom) drives_.at(d.letter)->SetPresent(present);
  pending_.push_back({device, d.unit, present});
}

void SimBench::SetOnDeviceChange(std::function<void(const SimDeviceChange&)> hook) {
  std::lock_guard lock(mutex_);
  onDeviceChange_ = std::move(hook);
}

void SimBench::SetOnUnplug(std::function<void(int)> hook) {
  std::lock_guard lock(mutex_);
  onUnplug_ = std::move(hook);
}

void SimBench::SetOnPresenceChange(std::function<void(const SimDeviceChange&)> hook) {
  std::lock_guard lock(mutex_);
  onPresence_ = std::move(hook);
}

void SimBench::Notify() {
  std::vector<SimDeviceChange> changes;
  std::function<void(const SimDeviceChange&)> onChange;
  std::function<void(int)> onUnplug;
  std::function<void(const SimDeviceChange&)> onPresence;
  {
    std::lock_guard lock(mutex_);
    changes.swap(pending_);
    onChange = onDeviceChange_;
    onUnplug = onUnplug_;
    onPresence = onPresence_;
  }
  for (const SimDeviceChange& change : changes) {
    if (onChange) onChange(change);
    const DeviceRole role = model_.devices[change.device].role;
    const bool link = role == DeviceRole::kLink1 || role == DeviceRole::kLink2;
    if (onUnplug && link && !change.arrived) onUnplug(change.unit);
    if (onPresence) onPresence(change);
  }
}

// --- Drives and printers -----------------------------------------------------------------------

SimDrive* SimBench::Drive(char letter) {
  const auto it = drives_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
  return it == drives_.end() ? nullptr : it->second.get();
}

bool SimBench::SubmitPrintJob(const std::string& queue) {
  std::lock_guard lock(mutex_);
  auto named = [&](std::size_t d) {
    const BenchDevice& device = model_.devices[d];
    const auto given = queueNames_.find(static_cast<int>(d));
    return device.kind == DeviceKind::kPrinter && device.hasQueue &&
           SameText(given == queueNames_.end() ? device.description : given->second, queue);
  };
  // The job comes from the run of the printer's unit: that unit's time has come.
  for (std::size_t d = 0; d < model_.devices.size(); ++d) {
    if (named(d)) FireDue(model_.devices[d].unit);
  }
  for (std::size_t d = 0; d < model_.devices.size(); ++d) {
    const BenchDevice& device = model_.devices[d];
    if (!named(d) || !devices_[d].present) continue;
    if (device.unit >= 0) units_[device.unit]->PrintJob();
    return true;
  }
  return false;
}

void SimBench::SetQueueName(int device, std::string name) {
  std::lock_guard lock(mutex_);
  queueNames_[device] = std::move(name);
}

// --- Time and checks ---------------------------------------------------------------------------

void SimBench::Poll() {
  {
    std::lock_guard lock(mutex_);
    FireDue(kEveryUnit);
  }
  Notify();
}

std::optional<std::int64_t> SimBench::NextEventMs() const {
  std::lock_guard lock(mutex_);
  std::optional<std::int64_t> next;
  for (std::size_t u : unfired_) {
    const auto& events = model_.units[u].events;
    for (std::size_t e = 0; e < events.size(); ++e) {
      const Trigger& when = events[e].when;
      if (fired_[u][e] || !when.ByTime()) continue;
      if (!next || when.atMs < *next) next = when.atMs;
    }
  }
  return next;
}

int SimBench::UnitOfOrigin(const std::string& origin) const {
  if (origin.empty()) return kNoUnit;
  if (model_.units.size() == 1) return 0;  // the one unit's run, serial or none
  for (std::size_t u = 0; u < model_.units.size(); ++u) {
    const int link = LinkDevice(static_cast<int>(u), 1);
    if (link < 0) continue;
    const std::optional<std::string>& serial =
        model_.devices[static_cast<std::size_t>(link)].serial;
    if (serial && origin.find("(" + *serial + ")") != std::string::npos) {
      return static_cast<int>(u);
    }
  }
  return kNoUnit;
}

void SimBench::BeginRun(const std::string& origin) {
  std::lock_guard lock(mutex_);
  const int unit = UnitOfOrigin(origin);
  for (std::size_t u = 0; u < model_.units.size(); ++u) {
    if (!origin.empty() && unit != static_cast<int>(u)) continue;
    promptsShown_[u] = 0;
    promptsWithText_[u].clear();
  }
}

void SimBench::NotePrompt(const std::string& text, const std::string& origin) {
  {
    std::lock_guard lock(mutex_);
    FireDue(kNoUnit);
    const int unit = UnitOfOrigin(origin);
    if (unit != kNoUnit) {
      const auto u = static_cast<std::size_t>(unit);
      const int shown = ++promptsShown_[u];
      const int withText = ++promptsWithText_[u][text];
      const bool waiting = std::find(unfired_.begin(), unfired_.end(), u) != unfired_.end();
      const auto& events = model_.units[u].events;
      bool firedAny = false;
      for (std::size_t e = 0; waiting && e < events.size(); ++e) {
        const Trigger& when = events[e].when;
        if (fired_[u][e] || !when.ByPrompt()) continue;
        const bool matches = when.promptText.empty()
                                 ? shown == when.atPrompt
                                 : text == when.promptText && withText == when.atPrompt;
        if (!matches) continue;
        fired_[u][e] = true;
        firedAny = true;
        FireEvent(unit, events[e]);
      }
      if (firedAny && std::find(fired_[u].begin(), fired_[u].end(), false) == fired_[u].end()) {
        std::erase(unfired_, u);
      }
    }
  }
  Notify();
}

int SimBench::UnitOf(const PipeRef& pipe) const {
  if (pipe.device < 0 || pipe.device >= static_cast<int>(model_.devices.size())) return kNoUnit;
  return model_.devices[pipe.device].unit;
}

void SimBench::FireDue(int timedUnit) {
  const std::int64_t now = now_();
  bool firedAny = false;
  for (std::size_t u : unfired_) {
    const auto& events = model_.units[u].events;
    const bool timed = timedUnit == kEveryUnit || timedUnit == static_cast<int>(u);
    for (std::size_t e = 0; e < events.size(); ++e) {
      const Trigger& when = events[e].when;
      if (when.ByPrompt()) continue;  // NotePrompt fires these
      const bool due = when.afterCommand > 0 ? units_[u]->CommandCount() >= when.afterCommand
                                             : timed && now >= when.atMs;
      if (due && !fired_[u][e]) {
        fired_[u][e] = true;
        firedAny = true;
        FireEvent(static_cast<int>(u), events[e]);
      }
    }
  }
  if (!firedAny) return;
  std::erase_if(unfired_, [this](std::size_t u) {
    return std::find(fired_[u].begin(), fired_[u].end(), false) == fired_[u].end();
  });
}

void SimBench::FireEvent(int unit, const BenchEvent& event) {
  if (event.kind == EventKind::kAddDiscs) {
    units_[unit]->AddDiscs(event.count);
    supplied_ += event.count;
    return;
  }
  for (int device : Targets(unit, event)) SetPresence(device, event.kind == EventKind::kPlug);
}

std::vector<int> SimBench::Targets(int unit, const BenchEvent& event) const {
  const BenchUnit& u = model_.units[unit];
  switch (event.target) {
    case EventTarget::kUnit:
      return {LinkDevice(unit, 1), LinkDevice(unit, 2)};
    case EventTarget::kHv22:
      return {LinkDevice(unit, 2)};
    case EventTarget::kPrinter:
      return {u.printer};
    case EventTarget::kDrive:
      for (const BenchDrive& d : u.drives) {
        if (model_.devices[d.device].letter == event.drive) return {d.device};
      }
      break;
    case EventTarget::kDevice:
      for (std::size_t d = 0; d < model_.devices.size(); ++d) {
        if (model_.devices[d].hub == event.hub && model_.devices[d].port == event.port) {
          return {static_cast<int>(d)};
        }
      }
      break;
  }
  return {};
}

int SimBench::TotalDiscs() const {
  std::lock_guard lock(mutex_);
  int total = 0;
  for (const auto& unit : units_) total += unit->HeldDiscs();
  for (const auto& [letter, drive] : drives_) total += drive->HasDisc() ? 1 : 0;
  return total;
}

int SimBench::DiscsSupplied() const {
  std::lock_guard lock(mutex_);
  return supplied_;
}

UnitSnapshot SimBench::Snapshot(int unit) const {
  std::lock_guard lock(mutex_);
  return units_.at(unit)->Snapshot();
}

std::vector<std::string> SimBench::CommandLog(int unit) const {
  std::lock_guard lock(mutex_);
  return commandLog_.at(unit);
}

std::vector<std::int64_t> SimBench::CommandTimesMs(int unit) const {
  std::lock_guard lock(mutex_);
  return commandTimes_.at(unit);
}

}  // namespace platform::sim
