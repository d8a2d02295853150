// What a running process is doing besides its signed code: tracers, the loader's environment, the files its
// executable memory comes from, its pid namespace. Read from /proc with a deadline, since the process can
// stall those reads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "code_layout.h"

namespace tessaly::codesign::detail {

// One mapping of the process that may execute.
struct ExecutableMapping {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;           // as /proc shows it: a path, "[vdso]", or empty for anonymous memory
  bool privatePages = false;  // some of its pages were written: they are the process's own, not the file's
};

struct ProcessFacts {
  char state = '?';                // R, S, D, T (stopped), t (stopped by a tracer), ...
  pid_t tracer = 0;                // TracerPid: 0 when nobody traces it
  bool loaderEnvironment = false;  // started with LD_* or GLIBC_TUNABLES in its environment
  bool samePidNamespace = false;   // its pid namespace is this process's
  std::vector<ExecutableMapping> mappings;
};

// The longest a check waits for one process's /proc files.
inline constexpr std::chrono::milliseconds kProcessReadBudget{40};

// Facts being read on a helper thread while the caller does other work.
class PendingProcessFacts {
 public:
  virtual ~PendingProcessFacts() = default;
  // The facts; nothing when the reads did not finish within their budget or failed (the process is gone, or
  // /proc refuses us).
  virtual std::optional<ProcessFacts> finish() = 0;
};

// Starts reading the facts through `processDirectory` (an open /proc/PID); they must be read within `budget`.
std::unique_ptr<PendingProcessFacts> startReadingProcessFacts(int processDirectory,
                                                              std::chrono::milliseconds budget = kProcessReadBudget);

// Parsers of the /proc texts, for the reader and for tests.
void parseStatus(std::string_view text, ProcessFacts& facts);
bool hasLoaderVariables(std::string_view environment);
std::vector<ExecutableMapping> parseExecutableMappings(std::string_view maps);
// True when one of these /proc/PID/pagemap entries is a page in memory or swap that is not the file's (the
// process's private copy).
bool hasPrivatePages(const std::uint64_t* entries, std::size_t count);

// True when `path` reaches, through no symbolic link, the file (device, inode), and that file and every
// directory above it belong to root and are writable by nobody else (ownership and modes, not access).
bool isTrustedSystemFile(const std::string& path, dev_t device, ino_t inode);

}  // namespace tessaly::codesign::detail
