// The autoloader command link: command blocks, pipe exchanges and SendCommand.
#pragma once

#include <string>

// The text of the last reply on this thread. Each thread has its own, so that discovery on the
// GUI thread never disturbs the reply a running worker is testing.
extern thread_local std::string LastReply;
