// Helpers shared by the agent's tests: unique channel names, a plain test window, and a way to
// see what was posted to it.
#pragma once

#include <string>

#include "platform/types.h"

namespace agent_test {

// A name no other test process uses: the prefix, this process's id and `what`.
std::u16string UniqueName(const char* what);

// A top-level window whose procedure only notes MWM_EXIT and ignores timers.
plat::WindowHandle CreateTestWindow();
// Handles what has been posted to the test windows so far; true when MWM_EXIT was among it.
bool ExitWasPosted();

// Resident memory of this process in kilobytes and the number of its mappings, or -1 where the
// system does not tell.
long ResidentKb();
long MappingCount();

} // namespace agent_test
