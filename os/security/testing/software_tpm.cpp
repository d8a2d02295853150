#include "software_tpm.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

namespace tessaly::security::testing {
namespace {

namespace fs = std::filesystem;

#ifdef TESSALY_SWTPM
constexpr const char* kSwtpm = TESSALY_SWTPM;
#else
constexpr const char* kSwtpm = "swtpm";
#endif

// True once something listens on the Unix socket at `path`: the file alone appears at bind, before listen.
bool accepts(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

SoftwareTpm::SoftwareTpm() {
  std::string pattern = (fs::temp_directory_path() / "tessaly-swtpm.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    why_ = "no temporary folder";
    return;
  }
  folder_ = pattern;
  fs::create_directory(folder_ / "state");
  const std::string socket = (folder_ / "tpm.sock").string();
  std::vector<std::string> arguments = {kSwtpm, "socket", "--tpm2",
                                        "--server", "type=unixio,path=" + socket,
                                        "--ctrl", "type=unixio,path=" + socket + ".ctrl",
                                        "--tpmstate", "dir=" + (folder_ / "state").string(),
                                        "--flags", "not-need-init,startup-clear",
                                        "--log", "file=" + (folder_ / "swtpm.log").string()};
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  // swtpm keeps no standard streams of ours: a caller reading this program's output sees it end with it.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, kSwtpm, &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    why_ = std::string("cannot run ") + kSwtpm + " (install swtpm)";
    return;
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(accepts(socket) && accepts(socket + ".ctrl"))) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      why_ = "swtpm ended at once (see its log)";
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      why_ = "swtpm did not listen on its sockets within 10 s";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

SoftwareTpm::~SoftwareTpm() {
  stop();
  std::error_code ignored;
  if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

std::string SoftwareTpm::tcti() const { return "swtpm:path=" + (folder_ / "tpm.sock").string(); }

void SoftwareTpm::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace tessaly::security::testing
