// Drawing random faults into a bench file's units (soaks).
#include "platform/sim/bench/RandomFaults.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <random>

#include "models/ModelCatalogue.h"

namespace platform::sim {

namespace {

using nlohmann::json;

// mt19937_64's sequence is fixed by the language standard; the distributions are not, so the
// draws reduce its numbers themselves and a seed gives the same bench everywhere.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : rng_(seed) {}
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  int Between(int low, int high) {
    const int span = high - low + 1;
    return low + static_cast<int>(Below(static_cast<std::size_t>(span)));
  }
  bool Chance(int percent) { return Below(100) < static_cast<std::size_t>(percent); }
  template <class T>
  T Pick(std::initializer_list<T> values) {
    return values.begin()[Below(values.size())];
  }
  const std::string& Pick(const std::vector<std::string>& values) {
    return values[Below(values.size())];
  }

 private:
  std::mt19937_64 rng_;
};

// What the bench says of a unit that decides which faults fit it.
struct UnitFacts {
  std::string model;
  std::vector<std::string> drives;  // letters
  bool printer = false;
  bool hv22 = false;
};

UnitFacts FactsOf(const json& unit) {
  UnitFacts facts;
  facts.model = unit.at("model").get<std::string>();
  if (unit.contains("drives")) {
    for (const json& d : unit.at("drives")) facts.drives.push_back(d.at("letter"));
  }
  facts.printer = unit.contains("printer") && !unit.at("printer").is_null();
  facts.hv22 = unit.contains("hv22");
  return facts;
}

// A command count inside the run: past discovery's, up to the run's last command.
int RunPoint(Draw& draw, const FaultTargets& targets) {
  const int runLength = std::max<int>(1, static_cast<int>(targets.runCommands.size()));
  return static_cast<int>(targets.beforeRun.size()) + draw.Between(1, runLength);
}

// One to three chunks of any bytes, up to a whole 64-byte read each, zeros and 8-bit included.
json GarbageChunks(Draw& draw) {
  json chunks = json::array();
  const int count = draw.Between(1, 3);
  for (int c = 0; c < count; ++c) {
    std::string hex;
    const int length = draw.Between(1, 64);
    for (int i = 0; i < length; ++i) {
      char byte[3];
      std::snprintf(byte, sizeof byte, "%02X", draw.Between(0, 255));
      hex += byte;
    }
    chunks.push_back({{"hex", hex}});
  }
  return chunks;
}

int CountOf(const std::vector<std::string>& commands, const std::string& command) {
  return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

// A reply replaced for one of the run's commands: an occurrence in the run, not discovery's.
json ReplyFault(Draw& draw, const UnitFacts& unit, const FaultTargets& targets) {
  std::string command = targets.runCommands.empty() ? "AT+?" : draw.Pick(targets.runCommands);
  const int occurrence = CountOf(targets.beforeRun, command) +
                         draw.Between(1, std::max(1, CountOf(targets.runCommands, command)));
  json fault = {{"kind", "reply"}, {"occurrence", occurrence}, {"times", draw.Pick({1, 1, 2, 0})}};
  if (command.starts_with("2:")) {  // the log's mark of a TM36P's link 2
    command = command.substr(2);
    fault["link"] = 2;
  } else if (unit.hv22) {
    fault["link"] = 1;  // occurrences count on the link the log counted them on
  }
  fault["command"] = command;
  if (draw.Chance(15)) {
    fault["chunks"] = GarbageChunks(draw);
  } else {
    fault["answer"] = draw.Pick({"ok", "error", "S01", "S07", "S08", "S12", "unaccepted", "none"});
  }
  return fault;
}

json Condition(Draw& draw, const UnitFacts& unit, const FaultTargets& targets) {
  std::vector<std::string> kinds = {"output_full", "silent", "babble"};
  if (!unit.drives.empty()) kinds.insert(kinds.end(), {"tray_never_opens", "tray_never_closes"});
  // The model's own conditions, as the catalogue describes the model (none for one it lacks).
  if (const models::ModelRow* model = models::FindModel(unit.model)) {
    const bool zp = model->worker == models::WorkerClass::kZP;
    if (model->printer) kinds.push_back("printer_never_ejects");
    if (model->outputBin) kinds.push_back("output_detached");
    if (zp && !model->outputBin) kinds.push_back("ramp_closed");
    if (zp) kinds.insert(kinds.end(), {"motor", "recovery_request"});
    if (model->worker == models::WorkerClass::kHV) kinds.push_back("pick_blocked");
  }
  const std::string kind = draw.Pick(kinds);
  json condition = {{"kind", kind}};
  // A unit silent from power-on would never be listed: those two start inside the run.
  const bool fromStart = kind != "silent" && kind != "babble" && draw.Chance(30);
  if (!fromStart) condition["after_command"] = RunPoint(draw, targets);
  if (kind.starts_with("tray_")) condition["drive"] = draw.Pick(unit.drives);
  if (kind == "motor") condition["code"] = draw.Pick({"E1000", "E2000", "E3000"});
  return condition;
}

// A moment inside the run: a bench time (timed events) or a command count.
void SetTrigger(Draw& draw, const FaultTargets& targets, json& event, bool timedOnly = false) {
  if (!timedOnly && draw.Chance(50)) {
    event["after_command"] = RunPoint(draw, targets);
    return;
  }
  const std::int64_t length = targets.runTimesMs.empty() ? 1000 : targets.runTimesMs.back();
  event["at_ms"] = targets.runStartMs + draw.Between(0, static_cast<int>(length));
}

// The same kind of event a little later than `event`: on the same trigger, a few commands or up
// to five seconds on.
json Later(Draw& draw, json event, bool timedOnly) {
  if (event.contains("after_command") && !timedOnly) {
    event["after_command"] = event["after_command"].get<int>() + draw.Between(1, 6);
  } else if (event.contains("after_command")) {
    event.erase("after_command");
    event["at_ms"] = draw.Between(100, 5000);  // from the bench's start: see RandomFaultBench
  } else {
    event["at_ms"] = event["at_ms"].get<std::int64_t>() + draw.Between(100, 5000);
  }
  return event;
}

// The parts of a unit an event may take away or bring: "unit", "printer", "hv22", "drive X".
std::vector<std::string> PartsOf(const UnitFacts& unit) {
  std::vector<std::string> parts = {"unit"};
  if (unit.printer) parts.push_back("printer");
  if (unit.hv22) parts.push_back("hv22");
  for (const std::string& letter : unit.drives) parts.push_back("drive " + letter);
  return parts;
}

json PartEvent(const char* kind, const std::string& part) {
  json event = {{"kind", kind}};
  if (part.starts_with("drive ")) {
    event["target"] = "drive";
    event["drive"] = part.substr(6);
  } else if (part != "unit") {
    event["target"] = part;
  }
  return event;
}

// The part's own object in the unit: the one whose "present" says it is there at the start.
json& PartObject(json& unit, const std::string& part) {
  if (part == "printer") return unit.at("printer");
  if (part == "hv22") return unit.at("hv22");
  if (part.starts_with("drive ")) {
    for (json& drive : unit.at("drives")) {
      if (drive.at("letter") == part.substr(6)) return drive;
    }
  }
  return unit;
}

void AddEvents(Draw& draw, const UnitFacts& facts, const FaultTargets& targets, json& unit,
               json& faults) {
  const std::size_t sort = draw.Below(100);
  if (sort < 30) {
    json add = {{"kind", "add_discs"}, {"count", draw.Between(1, 5)}};
    SetTrigger(draw, targets, add);
    faults.push_back(add);
    return;
  }
  std::vector<std::string> parts = PartsOf(facts);
  if (sort < 45 && parts.size() > 1) {
    // A part missing at the start arrives while the unit runs (a unit missing would not be
    // listed at its turn).
    parts.erase(parts.begin());
    const std::string part = draw.Pick(parts);
    json& object = PartObject(unit, part);
    if (object.contains("present") && !object.at("present").get<bool>()) return;
    object["present"] = false;
    json plug = PartEvent("plug", part);
    SetTrigger(draw, targets, plug);
    faults.push_back(plug);
    return;
  }
  const std::string part = draw.Pick(parts);
  json unplug = PartEvent("unplug", part);
  SetTrigger(draw, targets, unplug);
  faults.push_back(unplug);
  // The part comes back: while the unit still talks (an arrival handled during the run), or, for
  // the unit itself, a while after it left, as a new unit while the others run.
  if (draw.Chance(50)) {
    json plug = Later(draw, unplug, part == "unit");
    plug["kind"] = "plug";
    if (plug.contains("at_ms") && !unplug.contains("at_ms")) {
      // Left after a command: back a while after that command's time in the run.
      const std::int64_t at = unplug.at("after_command").get<int>() -
                              static_cast<std::int64_t>(targets.beforeRun.size());
      const std::size_t index = static_cast<std::size_t>(std::max<std::int64_t>(at - 1, 0));
      const std::int64_t when = index < targets.runTimesMs.size() ? targets.runTimesMs[index] : 0;
      plug["at_ms"] = targets.runStartMs + when + plug.at("at_ms").get<std::int64_t>();
    }
    faults.push_back(plug);
  }
}

void DrawSupply(Draw& draw, const UnitFacts& facts, json& unit) {
  const int capacity = draw.Pick({100, 100, 100, 2, 1});
  json discs = {{"input", draw.Pick({0, 1, 2, 5, 5, 5, 5})},
                {"output", std::min(capacity, draw.Pick({0, 0, 0, 1}))},
                {"output_capacity", capacity}};
  const models::ModelRow* model = models::FindModel(facts.model);
  if (model != nullptr && model->printer) discs["printer_tray"] = draw.Chance(15);
  unit["discs"] = discs;
  if (!unit.contains("drives")) return;
  for (json& drive : unit.at("drives")) {
    drive["disc"] = draw.Chance(10);
    drive["tray"] = draw.Chance(10) ? "open" : "closed";
  }
}

}  // namespace

std::uint64_t IterationSeed(std::uint64_t seed, std::uint64_t iteration) {
  std::uint64_t z = seed + 0x9E3779B97F4A7C15ull * (iteration + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string RandomFaultBench(const std::string& benchJson, const std::vector<FaultTargets>& targets,
                             std::uint64_t seed) {
  json bench = json::parse(benchJson);
  Draw draw(seed);
  json& units = bench.at("units");
  for (std::size_t u = 0; u < units.size(); ++u) {
    json& unit = units[u];
    const UnitFacts facts = FactsOf(unit);
    DrawSupply(draw, facts, unit);
    json faults = json::array();
    if (u < targets.size()) {
      const int count = draw.Between(0, 3);
      for (int f = 0; f < count; ++f) {
        const std::size_t sort = draw.Below(100);
        if (sort < 40) {
          faults.push_back(ReplyFault(draw, facts, targets[u]));
        } else if (sort < 75) {
          faults.push_back(Condition(draw, facts, targets[u]));
        } else {
          AddEvents(draw, facts, targets[u], unit, faults);
        }
      }
    }
    unit["faults"] = faults;
  }
  return bench.dump(1);
}

}  // namespace platform::sim
