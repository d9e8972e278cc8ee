// Answer names, box buttons and safe defaults of the headless message boxes.
#include "ui/headless/MessageScript.h"

#include <algorithm>
#include <cctype>

#include "ui/Toolkit.h"

namespace ui::headless {

namespace {

struct NamedAnswer {
  const char* name;
  int id;
};

constexpr NamedAnswer kAnswerNames[] = {
    {"ok", kIdOk},
    {"cancel", kIdCancel},
    {"retry", kIdRetry},
    {"tryagain", kIdTryAgain},
    {"continue", kIdContinue},
};

constexpr const char* kExpectedNames = "ok, cancel, retry, tryagain or continue";

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string_view TrimBlanks(std::string_view text) {
  auto isBlank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::vector<int> ButtonsOf(unsigned flags) {
  switch (flags & kMbTypeMask) {
    case kMbOk:
      return {kIdOk};
    case kMbOkCancel:
      return {kIdOk, kIdCancel};
    case kMbRetryCancel:
      return {kIdRetry, kIdCancel};
    case kMbCancelTryContinue:
      return {kIdCancel, kIdTryAgain, kIdContinue};
    default:
      return {};
  }
}

int SafeDefaultAnswer(unsigned flags) {
  const std::vector<int> buttons = ButtonsOf(flags);
  if (std::ranges::find(buttons, kIdCancel) != buttons.end()) return kIdCancel;
  if (std::ranges::find(buttons, kIdOk) != buttons.end()) return kIdOk;
  return 0;
}

std::optional<int> AnswerFromName(std::string_view name) {
  for (const NamedAnswer& answer : kAnswerNames) {
    if (SameIgnoringCase(name, answer.name)) return answer.id;
  }
  return std::nullopt;
}

const char* AnswerName(int answer) {
  if (answer == 0) return "none";
  for (const NamedAnswer& named : kAnswerNames) {
    if (named.id == answer) return named.name;
  }
  return "unknown";
}

bool ParseAnswerScript(std::string_view text, std::vector<int>& answers, std::string& error) {
  std::vector<int> parsed;
  if (TrimBlanks(text).empty()) {
    answers = std::move(parsed);
    return true;
  }
  size_t position = 1;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view name = TrimBlanks(text.substr(0, comma));
    const std::optional<int> id = AnswerFromName(name);
    if (!id) {
      error = name.empty() ? "empty message box answer at position " + std::to_string(position)
                           : "unknown message box answer \"" + std::string(name) + "\"";
      error += " (expected ";
      error += kExpectedNames;
      error += ")";
      return false;
    }
    parsed.push_back(*id);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    ++position;
  }
  answers = std::move(parsed);
  return true;
}

}  // namespace ui::headless
