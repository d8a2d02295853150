#include "tessaly/testing/software_tpm.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "tessaly/testing/files.h"

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSwtpm = TESSALY_SWTPM;

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
  fs::create_directory(folder_.path() / "state");
  const std::string socket = (folder_.path() / "tpm.sock").string();
  const std::vector<std::string> arguments = {"socket",     "--tpm2",
                                              "--server",   "type=unixio,path=" + socket,
                                              "--ctrl",     "type=unixio,path=" + socket + ".ctrl",
                                              "--tpmstate", "dir=" + (folder_.path() / "state").string(),
                                              "--flags",    "not-need-init,startup-clear",
                                              "--log",      "file=" + (folder_.path() / "swtpm.log").string()};
  // swtpm keeps no standard streams of ours: a caller reading this program's output sees it end with it.
  try {
    process_.emplace(kSwtpm, arguments, std::vector<std::string>{}, Streams{"/dev/null", "/dev/null"});
  } catch (const std::exception&) {
    why_ = std::string("cannot run ") + kSwtpm + " (install swtpm)";
    return;
  }
  bool ended = false;
  const bool listening = eventually(
      [&] {
        ended = process_->wait(std::chrono::milliseconds(0)).has_value();
        return ended || (accepts(socket) && accepts(socket + ".ctrl"));
      },
      std::chrono::seconds(10));
  if (ended || !listening) {
    stop();
    why_ = ended ? "swtpm ended at once (see its log)" : "swtpm did not listen on its sockets within 10 s";
  }
}

SoftwareTpm::~SoftwareTpm() { stop(); }

std::string SoftwareTpm::tcti() const { return "swtpm:path=" + (folder_.path() / "tpm.sock").string(); }

void SoftwareTpm::stop() {
  if (!process_) return;
  process_->signal(SIGTERM);
  process_->wait();
  process_.reset();
}

}  // namespace tessaly::testing
