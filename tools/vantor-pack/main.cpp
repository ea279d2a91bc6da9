// vantor-pack: builds titles from project files, and shows or takes apart finished titles.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "builder.h"

namespace {

const char kUsage[] =
    "usage: vantor-pack build PROJECT.json -o TITLE.exe [--stub STUB.exe]\n"
    "       vantor-pack inspect TITLE.exe [--json] [--disasm]\n"
    "       vantor-pack extract TITLE.exe -o DIR\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantor::pack;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage();
    std::string command = args[0], input, output, stub;
    bool json = false, disasm = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "-o" || a == "--stub") && i + 1 < args.size()) {
            (a == "-o" ? output : stub) = args[++i];
        } else if (a == "--json") {
            json = true;
        } else if (a == "--disasm") {
            disasm = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "vantor-pack: unknown option %s\n", a.c_str());
            return Usage();
        } else if (input.empty()) {
            input = a;
        } else {
            return Usage();
        }
    }
    if (input.empty()) return Usage();
    try {
        if (command == "build") {
            BuildOptions options;
            options.output = output, options.stub = stub, options.toolPath = argv[0], options.progress = true;
            BuildTitle(ReadProject(input), options);
        } else if (command == "inspect") {
            std::string text = InspectTitle(input, {json, disasm});
            std::fwrite(text.data(), 1, text.size(), stdout);
        } else if (command == "extract") {
            if (output.empty()) return Usage();
            ExtractTitle(input, output);
        } else {
            return Usage();
        }
    } catch (const InputError& e) {
        std::fprintf(stderr, "%s\n", e.Describe().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantor-pack: error: %s\n", e.what());
        return 1;
    }
    return 0;
}
