// Fuzz target: the run report, the record's JSON and the history line. Whatever bytes a unit, the
// registry or a bench puts in a record's texts, the page holds no markup of theirs (no "<" beyond
// the page's own tags, no byte above 127, no control character), the JSON is valid and laid out
// as the JSON library lays out its value, and the history line stays one CSV line.
//
// Input: texts separated by zero bytes, dealt to the record's fields in turn.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/FuzzSupport.h"
#include "report/RecordReport.h"

namespace {

std::size_t Count(const std::string& text, char c) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> texts(1);
  for (std::size_t i = 0; i < size && texts.size() < 64; ++i) {
    if (data[i] == 0) {
      texts.emplace_back();
    } else {
      texts.back().push_back(static_cast<char>(data[i]));
    }
  }
  std::size_t next = 0;
  auto take = [&]() -> std::string { return texts[next++ % texts.size()]; };
  RunRecord record;
  record.unit.model = take();
  record.unit.serial = take();
  record.unit.firmware = take();
  record.unit.printerQueue = take();
  record.result = take();
  for (int i = 0; i < 3; ++i) {
    RecordRow row;
    row.number = i + 1;
    row.caption = take();
    row.icon = take();
    row.memo = {take()};
    row.prompts = {{take(), take(), take(), take(), take()}};
    record.rows.push_back(row);
  }
  record.log = {take(), take()};

  RunRecord blank;
  blank.rows.resize(record.rows.size());
  for (std::size_t i = 0; i < blank.rows.size(); ++i) {
    blank.rows[i].number = record.rows[i].number;
    blank.rows[i].icon = record.rows[i].icon;
    blank.rows[i].memo = {""};
    blank.rows[i].prompts = {{"", "", "", "", ""}};
  }
  blank.log = {"", ""};
  const std::string html = RecordHtml(record);
  const std::string shape = RecordHtml(blank);
  fuzz::Check(Count(html, '<') == Count(shape, '<'), "only the page's own tags");
  fuzz::Check(std::none_of(html.begin(), html.end(),
                           [](char c) {
                             const auto b = static_cast<unsigned char>(c);
                             return b >= 0x80 || (b < 0x20 && c != '\n') || b == 0x7F;
                           }),
              "the page is plain ASCII text");
  const std::string json = RecordJsonText(record);
  const auto value = nlohmann::json::parse(json, nullptr, false);
  fuzz::Check(!value.is_discarded(), "the record's JSON is valid");
  fuzz::Check(json == value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
              "the record's JSON is laid out as ever");
  const std::string line = HistoryLine(record, take());
  bool quoted = false;
  std::size_t ends = 0;
  for (const char c : line) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '\n') ++ends;
  }
  fuzz::Check(!quoted && ends == 1 && line.ends_with("\r\n"), "one CSV line");
  return 0;
}
