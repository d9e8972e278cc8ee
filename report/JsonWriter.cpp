// The records' JSON writer.
#include "report/JsonWriter.h"

#include <cstdio>

namespace {

constexpr int kIndent = 2;
constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool IsContinuation(unsigned char byte) {
  return byte >= 0x80 && byte <= 0xBF;
}

// The length of the valid UTF-8 sequence starting at `at`, or 0 when the bytes there are not
// one. On 0, `maximal` is how many bytes the broken sequence spans: the lead byte and the
// continuation bytes that were still fitting, which one U+FFFD stands for.
std::size_t SequenceLength(std::string_view text, std::size_t at, std::size_t& maximal) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte, narrower after some leads
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  }
  maximal = 1;
  if (length == 0) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return 0;
    const auto byte = static_cast<unsigned char>(text[at + i]);
    const bool fits = i == 1 ? byte >= low && byte <= high : IsContinuation(byte);
    if (!fits) return 0;
    maximal = i + 1;
  }
  return length;
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  std::size_t maximal = 1;
  return at < text.size() ? SequenceLength(text, at, maximal) : 0;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      std::size_t maximal = 1;
      const std::size_t length = SequenceLength(text, i, maximal);
      if (length == 0) {
        out += kReplacement;
        i += maximal;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void JsonWriter::NewLine() {
  out_.push_back('\n');
  out_.append(static_cast<std::size_t>(depth_) * kIndent, ' ');
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (depth_ == 0) return;
  if (!empty_) out_.push_back(',');
  empty_ = false;
  NewLine();
}

JsonWriter& JsonWriter::Open(char bracket) {
  BeforeValue();
  out_.push_back(bracket);
  ++depth_;
  empty_ = true;
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  --depth_;
  if (!empty_) NewLine();
  out_.push_back(bracket);
  empty_ = false;
  return *this;
}

JsonWriter& JsonWriter::BeginObject() {
  return Open('{');
}

JsonWriter& JsonWriter::EndObject() {
  return Close('}');
}

JsonWriter& JsonWriter::BeginArray() {
  return Open('[');
}

JsonWriter& JsonWriter::EndArray() {
  return Close(']');
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  BeforeValue();
  AppendJsonString(out_, name);
  out_ += ": ";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendJsonString(out_, text);
  return *this;
}

JsonWriter& JsonWriter::Number(long long value) {
  BeforeValue();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  return *this;
}
