// swfgen DESCRIPTION.json OUTPUT.swf : writes the movie a JSON description asks for.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "swfgen.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: swfgen DESCRIPTION.json OUTPUT.swf\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "swfgen: cannot read %s\n", argv[1]);
    return 1;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::vector<uint8_t> out;
  std::string error;
  if (!swfgen::generate(ss.str(), out, error)) {
    std::fprintf(stderr, "swfgen: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::ofstream f(argv[2], std::ios::binary);
  f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!f) {
    std::fprintf(stderr, "swfgen: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
