// The texts of a record's fields.
#include "report/RecordTypes.h"

#include <cstdint>
#include <cstdio>

#include "ui/Toolkit.h"

std::string ButtonsText(unsigned flags) {
  switch (flags & ui::kMbTypeMask) {
    case ui::kMbOk:
      return "OK";
    case ui::kMbOkCancel:
      return "OK/Cancel";
    case ui::kMbRetryCancel:
      return "Retry/Cancel";
    case ui::kMbCancelTryContinue:
      return "Cancel/Try Again/Continue";
    default:
      return "?";
  }
}

std::string IconText(unsigned flags) {
  switch (flags & ui::kMbIconMask) {
    case ui::kMbIconError:
      return "error";
    case ui::kMbIconWarning:
      return "warning";
    case ui::kMbIconInformation:
      return "information";
    default:
      return "none";
  }
}

std::string AnswerText(int answer) {
  switch (answer) {
    case ui::kIdOk:
      return "OK";
    case ui::kIdCancel:
      return "Cancel";
    case ui::kIdRetry:
      return "Retry";
    case ui::kIdTryAgain:
      return "Try Again";
    case ui::kIdContinue:
      return "Continue";
    default:
      return std::to_string(answer);
  }
}

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

long long EpochSeconds(const platform::LocalTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace

long long SecondsBetween(const platform::LocalTime& a, const platform::LocalTime& b) {
  return EpochSeconds(b) - EpochSeconds(a);
}

std::string IsoTime(const platform::LocalTime& t) {
  if (t.year == 0) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.hundredths);
  return text;
}

std::string UuidText(const unsigned char (&bytes)[16], int version) {
  unsigned char b[16];
  for (int i = 0; i < 16; ++i) b[i] = bytes[i];
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | ((version & 0x0F) << 4));
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[b[i] >> 4]);
    text.push_back(kHex[b[i] & 0x0F]);
  }
  return text;
}

std::string NewRunId() {
  unsigned char bytes[16] = {};
  if (!platform::ThePlatform().GenRandom(bytes, sizeof bytes)) return {};
  return UuidText(bytes, 4);
}

std::string ContentRunId(std::string_view text) {
  // Two 64-bit FNV-1a sums from different bases, each finished by a mixer so that every input
  // bit reaches every output bit: not a cryptographic hash, only a stable name for the text.
  auto sum = [text](std::uint64_t h) {
    for (const char c : text) {
      h ^= static_cast<unsigned char>(c);
      h *= 0x100000001B3ull;
    }
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
  };
  const std::uint64_t halves[2] = {sum(0xCBF29CE484222325ull),
                                   sum(0x84222325CBF29CE4ull ^ text.size())};
  unsigned char bytes[16];
  for (int i = 0; i < 16; ++i) {
    bytes[i] = static_cast<unsigned char>(halves[i / 8] >> (8 * (i % 8)));
  }
  return UuidText(bytes, 8);
}

std::string UtcOffsetText(int minutes) {
  const int magnitude = minutes < 0 ? -minutes : minutes;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", minutes < 0 ? '-' : '+', magnitude / 60 % 100,
                magnitude % 60);
  return text;
}
