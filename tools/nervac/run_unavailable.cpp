// `nervac run` in a build without the script runtime.
#include <cstdio>

#include "tools/nervac/nervac.h"

int RunCommand(int, char**) {
    std::fprintf(stderr, "nervac: this build has no script runtime, so it cannot run scripts\n");
    return 2;
}
