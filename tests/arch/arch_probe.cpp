// arch_probe: a tiny program of the tree that tests start to check how programs are launched
// (natively or through the emulator) and what their output, input and exit status look like.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage(std::FILE* to) {
  std::fputs(
      "usage: arch_probe [--echo] [--exit N]\n"
      "Prints the pointer width and byte order it was built for.\n"
      "  --echo     copy standard input to standard output after that\n"
      "  --exit N   end with exit status N (0-255), announcing it on standard error\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  bool echo = false;
  int exitCode = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg == "--echo") {
      echo = true;
    } else if (arg == "--exit" && i + 1 < argc) {
      char* end = nullptr;
      long value = std::strtol(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || value < 0 || value > 255) {
        std::fprintf(stderr, "arch_probe: --exit needs a number from 0 to 255, not '%s'\n", argv[i]);
        return 2;
      }
      exitCode = static_cast<int>(value);
    } else {
      std::fprintf(stderr, "arch_probe: unknown argument '%s' (see --help)\n", argv[i]);
      return 2;
    }
  }
  const std::uint16_t word = 1;
  unsigned char first = 0;
  std::memcpy(&first, &word, 1);
  std::printf("pointer-bytes=%zu\nbyte-order=%s\n", sizeof(void*), first == 1 ? "little" : "big");
  if (echo) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) std::fwrite(buffer, 1, n, stdout);
  }
  if (exitCode != 0) std::fprintf(stderr, "arch_probe: exiting with status %d as asked\n", exitCode);
  return exitCode;
}
