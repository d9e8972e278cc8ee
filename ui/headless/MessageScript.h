// Scripted message-box answers for the headless backend: answer names, the buttons of each box
// type and the safe default answer. Plain functions; HeadlessToolkit keeps the script itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui::headless {

// The button ids of a box (from the type bits of its flags), in the order the box shows them.
// Empty for a box type the system never shows (such a box is answered 0, as a failed box).
std::vector<int> ButtonsOf(unsigned flags);

// The answer given when the script has none that fits: Cancel where the box has a Cancel button,
// OK for a single-button box, 0 for an unsupported type. Cancel ends a run instead of retrying a
// failing step forever, so an unattended run always comes to an end.
int SafeDefaultAnswer(unsigned flags);

// "ok", "cancel", "retry", "tryagain", "continue" in any case; nothing for any other name.
std::optional<int> AnswerFromName(std::string_view name);

// The lower-case script name of an answer; "none" for 0 (a box that was not shown) and
// "unknown" for any other id.
const char* AnswerName(int answer);

// Parses a comma-separated list of answer names ("retry, Retry,cancel"); blanks around a name are
// ignored and an empty text is an empty script. On an empty or unknown name it returns false,
// leaves answers unchanged and says in error which name is wrong and what is expected.
bool ParseAnswerScript(std::string_view text, std::vector<int>& answers, std::string& error);

}  // namespace ui::headless
