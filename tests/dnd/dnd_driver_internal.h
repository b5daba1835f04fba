// Shared by the harness's sources (dnd_driver.cpp, dnd_desktop.cpp); not for tests.
#pragma once

#include "dnd_driver.h"

namespace dnd::internal {

// An xdotool run covers at most a few hundred milliseconds of pointer moves;
// one that takes longer than this is stuck (e.g. "--sync" waiting for a move
// the server never made).
inline constexpr Ms kPointerDeadline{15000};

} // namespace dnd::internal
