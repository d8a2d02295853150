#include "appkit_fixtures.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tessaly::appkit::testing {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TemporaryDirectory::TemporaryDirectory(const fs::path& parent) {
  std::string pattern = (parent / "tessaly-appkit-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + parent.native());
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + file.native());
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path makeBundle(const fs::path& parent, const BundleSpec& spec) {
  const fs::path bundle = parent / (spec.name + ".app");
  plist_t dictionary = plist_new_dict();
  if (spec.identifier) plist_dict_set_item(dictionary, "CFBundleIdentifier", plist_new_string(spec.identifier->c_str()));
  plist_dict_set_item(dictionary, "CFBundleExecutable", plist_new_string(spec.executableName.c_str()));
  plist_dict_set_item(dictionary, "LSUIElement", plist_new_bool(1));
  char* bytes = nullptr;
  uint32_t length = 0;
  if (spec.binaryInfoPlist) {
    plist_to_bin(dictionary, &bytes, &length);
  } else {
    plist_to_xml(dictionary, &bytes, &length);
  }
  writeFile(bundle / "Contents/Info.plist", std::string(bytes, length));
  std::free(bytes);
  plist_free(dictionary);
  fs::create_directories(bundle / "Contents/MacOS");
  if (spec.executable) {
    fs::copy_file(*spec.executable, bundle / "Contents/MacOS" / spec.executableName,
                  fs::copy_options::overwrite_existing);
  }
  return bundle;
}

fs::path testAppPath() { return TESSALY_APPKIT_TEST_APP; }

ChildProcess::ChildProcess(const fs::path& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
  int pipeFds[2], inputFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0 || ::pipe2(inputFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> storage{program.native()};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentStorage;
  for (char** entry = environ; *entry != nullptr; ++entry) environmentStorage.emplace_back(*entry);
  environmentStorage.insert(environmentStorage.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& entry : environmentStorage) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int failed = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  ::close(pipeFds[1]);
  ::close(inputFds[0]);
  output_ = pipeFds[0];
  input_ = inputFds[1];
  if (failed != 0) {
    ::close(output_);
    ::close(input_);
    throw std::runtime_error("cannot start " + program.native());
  }
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ::close(output_);
  ::close(input_);
}

bool ChildProcess::writeLine(const std::string& line) {
  const std::string text = line + "\n";
  return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd descriptor{output_, POLLIN, 0};
    if (::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[512];
    const ssize_t n = ::read(output_, chunk, sizeof chunk);
    if (n == 0) return std::nullopt;
    if (n > 0) buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChildProcess::signal(int number) const { ::kill(pid_, number); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = Clock::now() + timeout;
  do {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (Clock::now() < deadline);
  return std::nullopt;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tessaly::appkit::testing
