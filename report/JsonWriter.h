// A small JSON writer for the run records: objects, arrays, strings, integers and null, laid out
// one value a line with a two-space indent. The caller gives the keys in the order they appear.
#pragma once

#include <string>
#include <string_view>

// The length of the valid UTF-8 sequence of a character beyond ASCII starting at `at` (2 to 4),
// or 0 when the bytes there are not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The next member's name; its value follows.
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view text);
  JsonWriter& Number(long long value);
  JsonWriter& Null();
  // The text so far; whole once every object and array is closed.
  const std::string& Text() const { return out_; }

 private:
  // An object or an array begins or ends: the same layout for both, only the bracket differs.
  JsonWriter& Open(char bracket);
  JsonWriter& Close(char bracket);
  void BeforeValue();
  void NewLine();
  std::string out_;
  int depth_ = 0;
  bool empty_ = true;      // the innermost open object or array holds nothing yet
  bool afterKey_ = false;  // a member's name is written, its value comes next
};

// The text as a JSON string literal, quotes included: '"' and '\' escaped, control characters
// as \b, \f, \n, \r, \t or \u00XX, UTF-8 as it is. A byte that is not part of valid UTF-8 (a
// lone continuation byte, a cut or overlong sequence, a surrogate) becomes U+FFFD, so the
// literal is valid whatever the bytes.
void AppendJsonString(std::string& out, std::string_view text);
