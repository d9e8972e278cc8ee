// The run state shared by the worker and the console.
#include "console/RunState.h"

std::atomic<bool> RunActive{false};
std::atomic<int> StepState{0};
