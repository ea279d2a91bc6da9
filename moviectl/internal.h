// Control-flow signals shared by the interpreter, the player and the built-in classes.
#pragma once

#include "moviectl/value.h"

namespace moviectl {

// A limit was hit: the running script stops, the movie goes on.
struct ScriptAbort {};

// A value thrown by a script (Throw action or a built-in's error), caught by Try.
struct ScriptThrow {
  Value value;
};

}  // namespace moviectl
