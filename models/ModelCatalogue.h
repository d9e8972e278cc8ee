// The model catalogue: every autoloader model the program knows, in one table, and the vendors
// whose USB devices are autoloaders. The console's model table, discovery, the command link, the
// family workers, the run record and the simulated bench all read it. Constant data; it includes
// nothing of the program, so every layer (and the simulator) may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace models {

// A model family: the key of its worker (sequences/Families.cpp) and of its simulated unit
// (platform/sim/bench/SimFamilies.cpp). Each of those layers keeps one table keyed by it, which
// checks as it builds that it has a row for every family of the catalogue (CoversFamilies).
enum class WorkerClass { kTM36K, kTM36P, kLQ40, kHV, kZP };

// One row of the model table. The console tries the rows in order and the first match wins: a
// row told by its model name matches when ModelName contains `name` (the TM36 pair share one
// product), any other when VidPidText contains `productText`. The traits below say what the
// code needs to know of a unit beyond its sequence; discovery, the command link and the
// simulator test them through ProductHas, i.e. by the product alone, as they must before (or
// without) a model name.
struct ModelRow {
  const char* name;          // "TM36K": the model, as the bench and the combo name it
  WorkerClass worker;        // the family whose worker tests it
  std::uint16_t product;     // the USB product id of its link 1
  const char* productText;   // the same as VidPidText shows it: "PID_" and four upper-case digits
  bool toldByModelName;      // the model table tests ModelName for `name`, not the product
  const char* identifiedBy;  // told by model name: discovery names a unit of the shared product
                             // this model when its identification holds this text ("": any)
  const char* stepList;      // its step list, an "ITEM" resource
  int picture;               // the window's picture: 0 = Image1, 1 = Image2, ...
  const char* firmware;      // the firmware text a unit reports unless told otherwise (the
                             // simulated unit's); its first word, when not the model's name, is
                             // the code by which a log read back tells the model
  // Links: what a unit has besides its command link 1.
  int drives = 0;                   // optical drives the unit loads
  bool printer = false;             // a disc printer, on claim 1
  bool hv22Link = false;            // an HV22 unit of its own on link 2
  bool driveByAssociation = false;  // its drive may hang on another hub: the tray-sensor
                                    // association finds its letter
  // Talk.
  bool numberedCommands = false;  // numbered commands (LQ40): timed exchanges, LQ40_CMD lines
  int firmwareField = 0;          // the identification field that holds the firmware
  // ZP family.
  bool outputBin = false;    // unloads to an output bin (else to an output ramp)
  bool pairedTrays = false;  // tests both trays at once (else one after the other)
};

// In the order the bench lists the models (its messages name them so); the products of the rows
// told by product differ, so their order does not change which row matches.
inline constexpr ModelRow kModels[] = {
    {.name = "TM36K",
     .worker = WorkerClass::kTM36K,
     .product = 0x0935,
     .productText = "PID_0935",
     .toldByModelName = true,
     .identifiedBy = "RM82C",
     .stepList = "LIST_TM36K",
     .picture = 0,
     .firmware = "RM82C V1.20",
     .printer = true},
    {.name = "TM36P",
     .worker = WorkerClass::kTM36P,
     .product = 0x0935,
     .productText = "PID_0935",
     .toldByModelName = true,
     .identifiedBy = "",
     .stepList = "LIST_TM36P",
     .picture = 1,
     .firmware = "RM83P V1.05",
     .drives = 1,
     .printer = true,
     .hv22Link = true},
    {.name = "HV22",
     .worker = WorkerClass::kHV,
     .product = 0x0923,
     .productText = "PID_0923",
     .toldByModelName = false,
     .identifiedBy = "",
     .stepList = "LIST_HV22",
     .picture = 3,
     .firmware = "HV22 V3.02",
     .drives = 1},
    {.name = "HV22",
     .worker = WorkerClass::kHV,
     .product = 0x0945,
     .productText = "PID_0945",
     .toldByModelName = false,
     .identifiedBy = "",
     .stepList = "LIST_HV22",
     .picture = 3,
     .firmware = "HV22 V3.02",
     .drives = 1,
     .driveByAssociation = true},
    {.name = "LQ40",
     .worker = WorkerClass::kLQ40,
     .product = 0x0101,
     .productText = "PID_0101",
     .toldByModelName = false,
     .identifiedBy = "",
     .stepList = "LIST_LQ40",
     .picture = 2,
     .firmware = "LQ40 V3.02",
     .drives = 1,
     .numberedCommands = true,
     .firmwareField = 1},
    {.name = "ZP61",
     .worker = WorkerClass::kZP,
     .product = 0x0903,
     .productText = "PID_0903",
     .toldByModelName = false,
     .identifiedBy = "",
     .stepList = "LIST_ZP61",
     .picture = 4,
     .firmware = "ZP61 V3.02",
     .drives = 2,
     .outputBin = true,
     .pairedTrays = true},
    {.name = "ZP65",
     .worker = WorkerClass::kZP,
     .product = 0x0907,
     .productText = "PID_0907",
     .toldByModelName = false,
     .identifiedBy = "",
     .stepList = "LIST_ZP65",
     .picture = 4,
     .firmware = "ZP65 V3.02",
     .drives = 2,
     .outputBin = true},
    {.name = "ZP71",
     .worker = WorkerClass::kZP,
     .product = 0x0910,
     .productText = "PID_0910",
     .toldByModelName = false,
     .identifiedBy = "",
     .stepList = "LIST_ZP71",
     .picture = 4,
     .firmware = "ZP71 V3.02",
     .drives = 2,
     .pairedTrays = true},
    {.name = "ZP75",
     .worker = WorkerClass::kZP,
     .product = 0x0912,
     .productText = "PID_0912",
     .toldByModelName = false,
     .identifiedBy = "",
     .stepList = "LIST_ZP75",
     .picture = 4,
     .firmware = "ZP75 V3.02",
     .drives = 2},
};

// The vendors whose USB devices are autoloader interfaces, and the kind letter their port
// entries get. The product ids of the table are matched whatever the vendor.
struct AutoloaderVendor {
  std::uint16_t id;
  const char* text;  // as a lower-case instance id holds it: "vid_" and four digits
  char portKind;
};

inline constexpr AutoloaderVendor kAutoloaderVendors[] = {
    {0x1723, "vid_1723", 'A'},
    {0x1717, "vid_1717", 'M'},
};

// --- Look-ups ----------------------------------------------------------------------------------

// The model table's match for an entry's two texts: the first row that matches, or null.
constexpr const ModelRow* MatchModel(std::string_view modelName, std::string_view vidPid) {
  for (const ModelRow& row : kModels) {
    const bool match = row.toldByModelName ? modelName.find(row.name) != std::string_view::npos
                                           : vidPid.find(row.productText) != std::string_view::npos;
    if (match) return &row;
  }
  return nullptr;
}

// True when a row with the trait has its product in this VID/PID text.
constexpr bool ProductHas(std::string_view vidPid, bool ModelRow::*trait) {
  for (const ModelRow& row : kModels) {
    if (row.*trait && vidPid.find(row.productText) != std::string_view::npos) return true;
  }
  return false;
}

// True when a row of this family has its product in this VID/PID text.
constexpr bool ProductOfFamily(std::string_view vidPid, WorkerClass worker) {
  for (const ModelRow& row : kModels) {
    if (row.worker == worker && vidPid.find(row.productText) != std::string_view::npos) return true;
  }
  return false;
}

// The identification field holding the firmware, for the first row whose product is in this
// VID/PID text; 0 for a product the table does not know.
constexpr int FirmwareField(std::string_view vidPid) {
  for (const ModelRow& row : kModels) {
    if (vidPid.find(row.productText) != std::string_view::npos) return row.firmwareField;
  }
  return 0;
}

// The model discovery names a unit of a product shared by rows told by model name: the first
// such row whose identifying text the identification holds; null when no such row has the
// product (the unit is then named by its description).
constexpr const ModelRow* NamedByIdentification(std::string_view vidPid,
                                                std::string_view identification) {
  for (const ModelRow& row : kModels) {
    if (row.toldByModelName && vidPid.find(row.productText) != std::string_view::npos &&
        identification.find(row.identifiedBy) != std::string_view::npos) {
      return &row;
    }
  }
  return nullptr;
}

// The first row of this model name (a name with two products: the first product), or null.
constexpr const ModelRow* FindModel(std::string_view name) {
  for (const ModelRow& row : kModels) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

// True when the catalogue has a model of this name.
constexpr bool IsModelName(std::string_view name) {
  for (const ModelRow& row : kModels) {
    if (name == row.name) return true;
  }
  return false;
}

// The model whose firmware code (the first word of its firmware, where that is not its name)
// begins this firmware text: "RM82C V1.20" is a TM36K's; null when no code does.
constexpr const ModelRow* ModelOfFirmwareCode(std::string_view firmware) {
  for (const ModelRow& row : kModels) {
    const std::string_view text(row.firmware);
    const std::string_view code = text.substr(0, text.find(' '));
    if (code != row.name && firmware.starts_with(code)) return &row;
  }
  return nullptr;
}

// The window's pictures: one more than the highest a row names (they run from 0 without a gap).
constexpr int PictureCount() {
  int count = 0;
  for (const ModelRow& row : kModels) count = row.picture + 1 > count ? row.picture + 1 : count;
  return count;
}

// True when a table of a layer's families (rows with a `family` member) has exactly one row for
// each family the catalogue names and none for another.
template <class Row, std::size_t N>
constexpr bool CoversFamilies(const Row (&rows)[N]) {
  for (const ModelRow& model : kModels) {
    int found = 0;
    for (const Row& row : rows) found += row.family == model.worker ? 1 : 0;
    if (found != 1) return false;
  }
  for (const Row& row : rows) {
    bool named = false;
    for (const ModelRow& model : kModels) named = named || model.worker == row.family;
    if (!named) return false;
  }
  return true;
}

// The kind letter of an autoloader vendor's port entries ('A', 'M') for an instance id's
// lower-case VID/PID text; 0 when no autoloader vendor is in it.
constexpr char AutoloaderPortKind(std::string_view lowerVidPid) {
  for (const AutoloaderVendor& vendor : kAutoloaderVendors) {
    if (lowerVidPid.find(vendor.text) != std::string_view::npos) return vendor.portKind;
  }
  return 0;
}

constexpr bool IsAutoloaderVendor(std::uint16_t id) {
  for (const AutoloaderVendor& vendor : kAutoloaderVendors) {
    if (vendor.id == id) return true;
  }
  return false;
}

// --- What the table promises, checked as it builds -----------------------------------------------

namespace check {

constexpr bool HexTextIs(std::string_view text, std::string_view head, std::uint16_t id,
                         bool upper) {
  if (text.size() != head.size() + 4 || text.substr(0, head.size()) != head) return false;
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int i = 0; i < 4; ++i) {
    if (text[head.size() + static_cast<std::size_t>(i)] != digits[(id >> (12 - 4 * i)) & 0xF]) {
      return false;
    }
  }
  return true;
}

constexpr bool RowsAreWhole() {
  for (const ModelRow& row : kModels) {
    if (!HexTextIs(row.productText, "PID_", row.product, true)) return false;
    if (row.picture < 0 || row.drives < 0 || row.drives > 2) return false;
    if (row.firmwareField < 0 || row.firmware == nullptr || row.firmware[0] == 0) return false;
  }
  for (int picture = 0; picture < PictureCount(); ++picture) {
    bool shown = false;
    for (const ModelRow& row : kModels) shown = shown || row.picture == picture;
    if (!shown) return false;
  }
  for (const AutoloaderVendor& vendor : kAutoloaderVendors) {
    if (!HexTextIs(vendor.text, "vid_", vendor.id, false)) return false;
  }
  return true;
}

}  // namespace check

static_assert(check::RowsAreWhole(),
              "each product and vendor text spells its id; each row has its firmware; pictures "
              "from 0 without a gap, drives 0..2");

}  // namespace models
