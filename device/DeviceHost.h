// What device/ needs from the program above it: where its log lines go and the event its pauses
// wait on. The console provides both (the test log installs its writer when it creates the log,
// FormCreate creates the event); device/ knows neither the log nor the windows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Platform.h"

// The never-signalled event every pause of a run and of discovery waits on (created by
// FormCreate, process-wide: discovery pauses on it before any run exists).
extern platform::Handle PauseEvent;

// At most this many characters of a formatted message are kept, so that a whole line
// (26-character prefix, message, terminator) fits in 300 bytes.
inline constexpr std::size_t kMaxLogMessage = 273;
// The line that closes a section of the log.
inline constexpr const char* kLogSeparator = "----------------------------------------";

// Takes one finished message (the test log's WriteLogText). Any thread; must not block.
using DeviceLogSink = void (*)(std::string_view message);
// Installs the sink; null drops device/'s log lines (no log exists yet).
void SetDeviceLogSink(DeviceLogSink sink);

// Formats with printf rules, keeps kMaxLogMessage characters and hands the message to the sink.
// Only for formats written in this program: never text from a device or the registry.
void DeviceLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Hands an already formatted message to the sink literally.
void DeviceLogText(std::string_view message);
// A log message from printf rules and their arguments, kMaxLogMessage characters at the most
// (empty after an encoding error). Both logs format through it.
std::string FormatLogMessage(const char* format, va_list args);
