// The parts of nervac that depend on whether the script runtime is built in.
#pragma once

// `nervac run FILE [ARGS...]`: returns the process exit code.
int RunCommand(int argc, char** argv);
