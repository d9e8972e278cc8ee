// The step list of the selected model and the four status operations the workers report
// through. Status operations may be called from the worker: their effects on ListView1 and the
// result memo run on the GUI thread, synchronously, in call order.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace ui {
class ListView;
class Memo;
}  // namespace ui

inline constexpr const char* kResultSeparator = "---------------------------------------------";
inline constexpr const char* kTaskFulfilled = "The task has been fulfilled.";

// Step icons of ImageList1.
inline constexpr int kIconNone = 0;
inline constexpr int kIconPassed = 1;
inline constexpr int kIconFailed = 2;
inline constexpr int kIconWarned = 3;

// Per-step state shared with the worker (reset at Start).
extern std::atomic<bool> HeadingLogged;
extern std::atomic<bool> RetryPending;
extern std::atomic<int> RetryCount;

// The rows of an "ITEM" resource split at CR and LF, empty pieces dropped.
std::vector<std::string> SplitStepList(const char* bytes, std::size_t size);
// Appends the rows of the named "ITEM" resource to the list view, each with image 0. A missing
// resource appends nothing and returns false. GUI thread.
bool LoadStepList(ui::ListView& listView, const char* resourceName);

// The list view and memo the status operations act on (ListView1 of the main window and the
// result dialog's Memo1, which holds ResultLines); set on the GUI thread when the windows are
// created, cleared before they are freed.
void AttachStepList(ui::ListView* listView);
void AttachResultLines(ui::Memo* resultLines);

void StepBegin(int index);
void StepPassed(int index, const char* text);
void StepFailed(int index, const std::string& message);
void StepWarned(int index, const std::string& message);
