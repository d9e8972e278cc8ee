// Texts the system keeps in UTF-16 (registry keys and values, print queues, the computer name) as
// the seam's char texts: UTF-8, so that the records and reports the core writes hold their real
// characters ("PR\u00DCFPLATZ-1", "Drucker f\u00FCr CD"), whatever the code page. For the Win32
// backend's sources.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::win32 {

// The text in UTF-8.
std::string Utf8Text(std::wstring_view wide);

// The UTF-16 texts a char text may stand for, in the order to try them: UTF-8's reading for a
// text that is valid UTF-8 beyond ASCII, then the code page's (a text from elsewhere than the
// seam, such as a file name typed in the code page). Empty for a text that converts neither way.
std::vector<std::wstring> WideReadings(const char* text);

}  // namespace platform::win32
