// Names, product numbers and command texts of the bench model.
#include "platform/sim/bench/BenchModel.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace platform::sim {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const char* ModelName(Model model) {
  return model->name;
}

std::optional<Model> ParseModel(const std::string& text) {
  if (const models::ModelRow* row = models::FindModel(text)) return row;
  return std::nullopt;
}

const models::ModelRow& CatalogueRow(Model model) {
  return *model;
}

std::uint16_t ProductOf(Model model) {
  return model->product;
}

bool IsProductOf(Model model, std::uint16_t product) {
  for (const models::ModelRow& row : models::kModels) {
    if (row.product == product && std::string_view(row.name) == model->name) return true;
  }
  return false;
}

bool HasProductChoice(Model model) {
  int products = 0;
  for (const models::ModelRow& row : models::kModels) {
    products += std::string_view(row.name) == model->name ? 1 : 0;
  }
  return products > 1;
}

Model Hv22PartModel() {
  for (const models::ModelRow& row : models::kModels) {
    if (row.worker == models::WorkerClass::kHV) return &row;
  }
  return &models::kModels[0];
}

bool IsZp(Model model) {
  return model->worker == models::WorkerClass::kZP;
}

bool IsTm36(Model model) {
  return model->printer;
}

bool HasOutputBin(Model model) {
  return model->outputBin;
}

bool HasOutputRamp(Model model) {
  return IsZp(model) && !HasOutputBin(model);
}

bool IsHv(Model model) {
  return model->worker == models::WorkerClass::kHV;
}

bool HasHv22Part(Model model) {
  return model->hv22Link;
}

std::string ModelNames(bool (*fits)(Model), const char* separator) {
  std::string names;
  for (const models::ModelRow& row : models::kModels) {
    if (models::FindModel(row.name) != &row || !fits(&row)) continue;  // each model once
    if (!names.empty()) names += separator;
    names += row.name;
  }
  return names;
}

std::string WithArticle(const char* name) {
  // Said letter by letter: "an" before a letter whose name begins with a vowel sound.
  const bool vowelSound = std::string_view("AEFHILMNORSX").find(name[0]) != std::string_view::npos;
  return (vowelSound ? "an " : "a ") + std::string(name);
}

std::string AnyModel(bool (*fits)(Model)) {
  return WithArticle(ModelNames(fits, " or ").c_str());
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
  // "LQ40_CMD[n]", n from 1 to 255 written as to_string writes it (no sign, space or zero
  // before it).
  constexpr std::string_view kLq40Command = "LQ40_CMD[";
  if (text.starts_with(kLq40Command) && text.ends_with(']')) {
    int n = 0;
    const char* last = text.data() + text.size() - 1;
    const auto [end, error] = std::from_chars(text.data() + kLq40Command.size(), last, n);
    if (error == std::errc() && end == last && n >= 1 && n <= 255 &&
        text == "LQ40_CMD[" + std::to_string(n) + "]") {
      return CommandKey{static_cast<std::uint8_t>(n), 0, 0};
    }
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
