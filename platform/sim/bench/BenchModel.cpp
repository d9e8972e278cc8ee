// Names, product numbers and command texts of the bench model.
#include "platform/sim/bench/BenchModel.h"

#include <cstdio>

namespace platform::sim {
namespace {

struct ModelRow {
  Model model;
  const char* name;
  std::uint16_t product;
};

constexpr ModelRow kModels[] = {
    {Model::kTM36K, "TM36K", 0x0935}, {Model::kTM36P, "TM36P", 0x0935},
    {Model::kHV22, "HV22", 0x0923},   {Model::kLQ40, "LQ40", 0x0101},
    {Model::kZP61, "ZP61", 0x0903},   {Model::kZP65, "ZP65", 0x0907},
    {Model::kZP71, "ZP71", 0x0910},   {Model::kZP75, "ZP75", 0x0912},
};

const ModelRow& RowOf(Model model) {
  for (const ModelRow& row : kModels) {
    if (row.model == model) return row;
  }
  return kModels[0];
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const char* ModelName(Model model) {
  return RowOf(model).name;
}

std::optional<Model> ParseModel(const std::string& text) {
  for (const ModelRow& row : kModels) {
    if (text == row.name) return row.model;
  }
  return std::nullopt;
}

std::uint16_t ProductOf(Model model) {
  return RowOf(model).product;
}

bool IsZp(Model model) {
  return model == Model::kZP61 || model == Model::kZP65 || model == Model::kZP71 ||
         model == Model::kZP75;
}

bool IsTm36(Model model) {
  return model == Model::kTM36K || model == Model::kTM36P;
}

bool HasOutputBin(Model model) {
  return model == Model::kZP61 || model == Model::kZP65;
}

std::string FormatCommand(const CommandKey& key) {
  char text[32];
  if (key.numbered != 0) {
    std::snprintf(text, sizeof text, "LQ40_CMD[%d]", key.numbered);
  } else if (key.letter == '?') {
    std::snprintf(text, sizeof text, "AT+?");
  } else {
    std::snprintf(text, sizeof text, "AT+%c%02X", key.letter, key.number);
  }
  return text;
}

std::optional<CommandKey> ParseCommand(const std::string& text) {
  if (text == "AT+?") return CommandKey{0, '?', 0};
  int n = 0;
  char close = 0;
  if (std::sscanf(text.c_str(), "LQ40_CMD[%d%c", &n, &close) == 2 && close == ']' && n >= 1 &&
      n <= 255 && text == "LQ40_CMD[" + std::to_string(n) + "]") {
    return CommandKey{static_cast<std::uint8_t>(n), 0, 0};
  }
  if (text.size() != 6 || text.compare(0, 3, "AT+") != 0) return std::nullopt;
  const char letter = text[3];
  const int high = HexDigit(text[4]);
  const int low = HexDigit(text[5]);
  if (letter < 'A' || letter > 'Z' || high < 0 || low < 0) return std::nullopt;
  return CommandKey{0, letter, static_cast<std::uint8_t>(high * 16 + low)};
}

CommandKey KeyOfBlock(const std::uint8_t* block) {
  if (block[1] != 0) return CommandKey{block[1], 0, 0};
  return CommandKey{0, static_cast<char>(block[2]), block[3]};
}

}  // namespace platform::sim
