#include "code_fixtures.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "tessaly/codesign/identity.h"
#include "tessaly/codesign/signer.h"

extern char** environ;

namespace tessaly::codesign::testing {
namespace {

namespace fs = std::filesystem;

std::vector<char*> argvOf(const fs::path& program, const std::vector<std::string>& arguments,
                          std::vector<std::string>& storage) {
  storage.clear();
  storage.push_back(program.native());
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return argv;
}

std::string infoPlist(const BundleLayout& layout) {
  plist_t dictionary = plist_new_dict();
  plist_dict_set_item(dictionary, "CFBundleIdentifier", plist_new_string(layout.identifier.c_str()));
  plist_dict_set_item(dictionary, "CFBundleExecutable", plist_new_string(layout.name.c_str()));
  plist_dict_set_item(dictionary, "CFBundlePackageType", plist_new_string("APPL"));
  char* bytes = nullptr;
  uint32_t length = 0;
  std::string out;
  if (layout.binaryInfoPlist) {
    plist_to_bin(dictionary, &bytes, &length);
    out.assign(bytes, length);
    plist_to_bin_free(bytes);
  } else {
    plist_to_xml(dictionary, &bytes, &length);
    out.assign(bytes, length);
    plist_to_xml_free(bytes);
  }
  plist_free(dictionary);
  return out;
}

// The inherited environment with `extra` NAME=VALUE entries added or overriding.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    merged[text.substr(0, text.find('='))] = text;
  }
  for (const std::string& entry : extra) merged[entry.substr(0, entry.find('='))] = entry;
  std::vector<std::string> out;
  for (auto& [name, entry] : merged) out.push_back(entry);
  return out;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& text : strings) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "tessaly-codesign-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path sleeperPath() { return TESSALY_CODESIGN_SLEEPER; }
fs::path unsignedLibraryPath() { return TESSALY_CODESIGN_UNSIGNED_LIBRARY; }

void writeFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.native());
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.native());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void copyExecutable(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

fs::path makeBundle(const fs::path& parent, const BundleLayout& layout) {
  const fs::path bundle = parent / (layout.name + ".app");
  writeFile(bundle / "Contents" / "Info.plist", infoPlist(layout));
  copyExecutable(layout.executable, bundle / "Contents" / "MacOS" / layout.name);
  for (const auto& [relative, contents] : layout.files) writeFile(bundle / relative, contents);
  return bundle;
}

void makeDevPki(const fs::path& dir, std::string_view team) {
  DevPkiOptions options;
  options.team = std::string(team);
  if (auto failure = createDevPki(dir, options)) throw std::runtime_error(failure->message);
}

void sign(const fs::path& target, const fs::path& identity, const std::optional<std::string>& identifier,
          const std::optional<std::string>& entitlements) {
  Failure failure;
  std::optional<SigningIdentity> loaded = SigningIdentity::load(identity, &failure);
  if (!loaded) throw std::runtime_error(failure.message);
  if (auto signFailure = signCode(target, *loaded, identifier, entitlements)) {
    throw std::runtime_error(signFailure->message);
  }
}

ChildProcess::ChildProcess(const fs::path& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
  std::vector<std::string> envStorage = mergedEnvironment(environment);
  std::vector<char*> envp = pointersTo(envStorage);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  std::vector<std::string> storage;
  std::vector<char*> argv = argvOf(program, arguments, storage);
  // posix_spawn returns once the child has started the new program, so its executable is already in place.
  int error = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + program.native() + ": " + std::strerror(error));
  }
}

ChildProcess::~ChildProcess() { stop(); }

void ChildProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

RunResult run(const fs::path& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment) {
  std::vector<std::string> envStorage = mergedEnvironment(environment);
  std::vector<char*> envp = pointersTo(envStorage);

  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> storage;
  std::vector<char*> argv = argvOf(program, arguments, storage);
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  RunResult result;
  if (error != 0) {
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error("cannot start " + program.native() + ": " + std::strerror(error));
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.standardOutput, &result.standardError};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, 60000) <= 0) {
      if (errno == EINTR) continue;
      ::kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> logMessages(const std::string& text) {
  std::vector<std::string> out = lines(text);
  for (std::string& line : out) {
    if (line.size() >= 3 && line[0] == '<' && line[2] == '>') line.erase(0, 3);
  }
  return out;
}

}  // namespace tessaly::codesign::testing
