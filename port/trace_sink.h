// The process-wide trace output. The projector opens a trace window or file and installs a
// sink here; tools install one that writes to a console. Without a sink, lines are dropped.
#pragma once

#include <string_view>

namespace vantor {

// Receives one line of trace text, without the line end.
using TraceSinkFn = void (*)(void* context, std::string_view line);

void SetTraceSink(TraceSinkFn sink, void* context);
// Writes one line to the installed sink, if any.
void TraceLine(std::string_view line);
bool HasTraceSink();

}  // namespace vantor
