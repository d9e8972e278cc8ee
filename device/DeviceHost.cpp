// device/'s log and pause event, as the console provides them.
#include "device/DeviceHost.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

platform::Handle PauseEvent = platform::kInvalidHandle;

namespace {

std::atomic<DeviceLogSink> logSink{nullptr};

}  // namespace

void SetDeviceLogSink(DeviceLogSink sink) {
  logSink = sink;
}

std::string FormatLogMessage(const char* format, va_list args) {
  char message[kMaxLogMessage + 1];
  const int length = std::vsnprintf(message, sizeof message, format, args);
  if (length < 0) message[0] = '\0';  // an encoding error logs an empty message
  return message;
}

void DeviceLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = FormatLogMessage(format, args);
  va_end(args);
  DeviceLogText(message);
}

void DeviceLogText(std::string_view message) {
  if (const DeviceLogSink sink = logSink.load()) sink(message);
}
