// A library that nobody signed, for tests that load it into signed programs. With TESSALY_SCRUB_PRELOAD set it
// hides how it came in: it overwrites LD_PRELOAD in the process's initial environment, so that /proc/PID/environ
// no longer shows it.
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

__attribute__((constructor)) void scrubPreload() {
  if (std::getenv("TESSALY_SCRUB_PRELOAD") == nullptr) return;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LD_PRELOAD=", 11) == 0) std::memcpy(*entry, "XX", 2);
  }
}

}  // namespace

extern "C" int tessalyUnsignedLibraryMarker() { return 42; }
