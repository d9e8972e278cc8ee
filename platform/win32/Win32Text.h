// Names the system keeps in UTF-16 (registry keys, print queues) as the seam's char texts. A
// name the process code page can hold travels in it, byte for byte as the ANSI calls give it; a
// name it cannot hold ("Disc Printer ✓") travels in UTF-8 rather than with its characters turned
// into '?', which would name another key or no queue at all. For the Win32 backend's sources.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::win32 {

// The name as a char text: the code page's bytes when every character converts and back, else
// UTF-8.
std::string NarrowName(std::wstring_view wide);

// The UTF-16 names a char text may stand for, in the order to try them: the code page's reading,
// then UTF-8's for a text that is valid UTF-8 beyond ASCII and reads otherwise. Empty for a text
// that converts neither way.
std::vector<std::wstring> WideReadings(const char* text);

}  // namespace platform::win32
