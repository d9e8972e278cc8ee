// The texts of a record's fields.
#include "report/RecordTypes.h"

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
