#include "tessaly/testing/software_tpm.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tessaly/testing/child_process.h"

namespace tessaly::testing {
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
  const std::vector<std::string> arguments = {"socket", "--tpm2",
                                              "--server", "type=unixio,path=" + socket,
                                              "--ctrl", "type=unixio,path=" + socket + ".ctrl",
                                              "--tpmstate", "dir=" + (folder_ / "state").string(),
                                              "--flags", "not-need-init,startup-clear",
                                              "--log", "file=" + (folder_ / "swtpm.log").string()};
  // swtpm keeps no standard streams of ours: a caller reading this program's output sees it end with it.
  try {
    process_.emplace(kSwtpm, arguments, std::vector<std::string>{}, Streams{"/dev/null", "/dev/null"});
  } catch (const std::exception&) {
    why_ = std::string("cannot run ") + kSwtpm + " (install swtpm)";
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(accepts(socket) && accepts(socket + ".ctrl"))) {
    if (process_->wait(std::chrono::milliseconds(0))) {
      process_.reset();
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
  if (!process_) return;
  process_->signal(SIGTERM);
  process_->wait();
  process_.reset();
}

}  // namespace tessaly::testing
