// The process-wide trace sink: a function pointer and its context, set by the host.
#include "port/trace_sink.h"

namespace vantor {

namespace {
TraceSinkFn g_sink = nullptr;
void* g_context = nullptr;
}  // namespace

void SetTraceSink(TraceSinkFn sink, void* context) {
    g_sink = sink;
    g_context = context;
}

void TraceLine(std::string_view line) {
    if (g_sink) g_sink(g_context, line);
}

bool HasTraceSink() { return g_sink != nullptr; }

}  // namespace vantor
