#include "running_process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <charconv>
#include <memory>

#include "deadline_runner.h"

namespace tessaly::codesign::detail {
namespace {

constexpr std::size_t kMaxStatusSize = 64u << 10;
constexpr std::size_t kMaxEnvironmentSize = 8u << 20;
constexpr std::size_t kMaxMappingsSize = 16u << 20;
constexpr std::size_t kReadChunk = 64u << 10;

// Reads a whole /proc file; false when it cannot be read or is larger than `maxSize`.
bool readProcFile(int directory, const char* name, std::size_t maxSize, std::string& out) {
  UniqueFd fd(::openat(directory, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  out.clear();
  thread_local std::unique_ptr<char[]> buffer(new char[kReadChunk]);  // reused: /proc files come in pieces
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer.get(), kReadChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(buffer.get(), static_cast<std::size_t>(got));
    if (out.size() > maxSize) return false;
  }
}

std::string_view nextLine(std::string_view& text) {
  const std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

std::string_view nextWord(std::string_view& text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(start);
  const std::size_t end = text.find(' ');
  std::string_view word = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  return word;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base = 10) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// "start-end perms offset major:minor inode   path" for a mapping that may execute; nothing otherwise.
std::optional<ExecutableMapping> parseMappingHeader(std::string_view line) {
  const std::string_view range = nextWord(line);
  const std::string_view permissions = nextWord(line);
  nextWord(line);  // offset
  const std::string_view device = nextWord(line);
  const std::string_view inode = nextWord(line);
  if (permissions.size() != 4 || permissions[2] != 'x') return std::nullopt;
  ExecutableMapping mapping;
  const std::size_t dash = range.find('-');
  const std::size_t colon = device.find(':');
  unsigned major = 0;
  unsigned minor = 0;
  unsigned long long number = 0;
  if (dash == std::string_view::npos || colon == std::string_view::npos ||
      !parseNumber(range.substr(0, dash), mapping.start, 16) || !parseNumber(range.substr(dash + 1), mapping.end, 16) ||
      !parseNumber(device.substr(0, colon), major, 16) || !parseNumber(device.substr(colon + 1), minor, 16) ||
      !parseNumber(inode, number)) {
    mapping.path = "?";  // unreadable: judged as unknown memory
    return mapping;
  }
  mapping.device = makedev(major, minor);
  mapping.inode = static_cast<ino_t>(number);
  const std::size_t start = line.find_first_not_of(' ');
  if (start != std::string_view::npos) mapping.path = std::string(line.substr(start));
  return mapping;
}

// Marks the mappings of files that hold pages of the process's own (written through ptrace or /proc/PID/mem,
// or by the process after an mprotect): the kernel then no longer shows the file's bytes at those addresses.
bool markPrivatePages(int directory, std::vector<ExecutableMapping>& mappings) {
  UniqueFd pagemap(::openat(directory, "pagemap", O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!pagemap) return false;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  std::vector<std::uint64_t> entries;
  for (ExecutableMapping& mapping : mappings) {
    if (mapping.inode == 0 || mapping.end <= mapping.start) continue;
    const std::size_t count = (mapping.end - mapping.start) / page;
    if (count > (64u << 20) / sizeof(std::uint64_t)) return false;
    entries.resize(count);
    const std::size_t bytes = count * sizeof(std::uint64_t);
    const auto offset = static_cast<off_t>(mapping.start / page * sizeof(std::uint64_t));
    if (::pread(pagemap.get(), entries.data(), bytes, offset) != static_cast<ssize_t>(bytes)) return false;
    mapping.privatePages = hasPrivatePages(entries.data(), count);
  }
  return true;
}

bool ownedByRootAndPrivate(const struct stat& info) {
  return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

void parseStatus(std::string_view text, ProcessFacts& facts) {
  while (!text.empty()) {
    std::string_view line = nextLine(text);
    if (line.starts_with("State:")) {
      line.remove_prefix(6);
      const std::size_t at = line.find_first_not_of(" \t");
      if (at != std::string_view::npos) facts.state = line[at];
    } else if (line.starts_with("TracerPid:")) {
      line.remove_prefix(10);
      const std::size_t at = line.find_first_not_of(" \t");
      pid_t tracer = 0;
      // A line that does not read as a number is taken as a tracer.
      facts.tracer = at != std::string_view::npos && parseNumber(line.substr(at), tracer) ? tracer : -1;
    }
  }
}

bool hasLoaderVariables(std::string_view environment) {
  while (!environment.empty()) {
    const std::size_t end = environment.find('\0');
    const std::string_view entry = environment.substr(0, end);
    environment.remove_prefix(end == std::string_view::npos ? environment.size() : end + 1);
    if (entry.starts_with("LD_") || entry.starts_with("GLIBC_TUNABLES=")) return true;
  }
  return false;
}

std::vector<ExecutableMapping> parseExecutableMappings(std::string_view maps) {
  std::vector<ExecutableMapping> mappings;
  while (!maps.empty()) {
    const std::string_view line = nextLine(maps);
    if (line.empty() || !isHexDigit(line.front())) continue;
    if (std::optional<ExecutableMapping> mapping = parseMappingHeader(line)) mappings.push_back(std::move(*mapping));
  }
  return mappings;
}

bool hasPrivatePages(const std::uint64_t* entries, std::size_t count) {
  constexpr std::uint64_t kPresent = 1ull << 63;
  constexpr std::uint64_t kSwapped = 1ull << 62;
  constexpr std::uint64_t kFilePage = 1ull << 61;
  for (std::size_t i = 0; i < count; ++i) {
    if ((entries[i] & (kPresent | kSwapped)) != 0 && (entries[i] & kFilePage) == 0) return true;
  }
  return false;
}

namespace {

struct ProcessReads {
  UniqueFd directory;
  std::string status;
  std::string environment;
  std::string maps;
  std::vector<ExecutableMapping> mappings;
  bool complete = false;

  void read() {
    complete = readProcFile(directory.get(), "status", kMaxStatusSize, status) &&
               readProcFile(directory.get(), "environ", kMaxEnvironmentSize, environment) &&
               readProcFile(directory.get(), "maps", kMaxMappingsSize, maps);
    if (complete) {
      mappings = parseExecutableMappings(maps);
      complete = markPrivatePages(directory.get(), mappings);
    }
  }
};

class PendingReads final : public PendingProcessFacts {
 public:
  PendingReads(int processDirectory, std::shared_ptr<ProcessReads> reads, std::unique_ptr<DeadlineTicket> ticket)
      : processDirectory_(processDirectory), reads_(std::move(reads)), ticket_(std::move(ticket)) {}

  std::optional<ProcessFacts> finish() override {
    if (!ticket_ || !ticket_->wait() || !reads_->complete) return std::nullopt;
    ProcessFacts facts;
    parseStatus(reads_->status, facts);
    facts.loaderEnvironment = hasLoaderVariables(reads_->environment);
    facts.mappings = std::move(reads_->mappings);
    struct stat theirs {};
    struct stat ours {};
    facts.samePidNamespace = ::fstatat(processDirectory_, "ns/pid", &theirs, 0) == 0 &&
                             ::stat("/proc/self/ns/pid", &ours) == 0 && theirs.st_dev == ours.st_dev &&
                             theirs.st_ino == ours.st_ino;
    return facts;
  }

 private:
  int processDirectory_;
  std::shared_ptr<ProcessReads> reads_;
  std::unique_ptr<DeadlineTicket> ticket_;
};

}  // namespace

std::unique_ptr<PendingProcessFacts> startReadingProcessFacts(int processDirectory, std::chrono::milliseconds budget) {
  auto reads = std::make_shared<ProcessReads>();
  // A descriptor of its own, so that a read that stays stuck never holds the caller's.
  reads->directory = UniqueFd(::openat(processDirectory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DeadlineTicket> ticket;
  if (reads->directory) ticket = startWithDeadline([reads] { reads->read(); }, budget);
  return std::make_unique<PendingReads>(processDirectory, std::move(reads), std::move(ticket));
}

bool isTrustedSystemFile(const std::string& path, dev_t device, ino_t inode) {
  if (path.empty() || path.front() != '/') return false;
  UniqueFd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (!current || ::fstat(current.get(), &info) != 0 || !ownedByRootAndPrivate(info)) return false;
  std::string_view rest(path);
  rest.remove_prefix(1);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string component(rest.substr(0, slash));
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    if (component.empty() || component == "." || component == "..") return false;
    UniqueFd next(::openat(current.get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next || ::fstat(next.get(), &info) != 0 || !ownedByRootAndPrivate(info)) return false;
    if (!rest.empty() && !S_ISDIR(info.st_mode)) return false;
    current = std::move(next);
  }
  return S_ISREG(info.st_mode) && info.st_dev == device && info.st_ino == inode;
}

}  // namespace tessaly::codesign::detail
