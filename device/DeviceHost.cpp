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

void DeviceLog(const char* format, ...) {
  char message[kMaxLogMessage + 1];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (length < 0) message[0] = '\0';  // an encoding error logs an empty message
  DeviceLogText(message);
}

void DeviceLogText(std::string_view message) {
  if (const DeviceLogSink sink = logSink.load()) sink(message);
}
