#include "tessaly/testing/stalling_filesystem.h"

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tessaly::testing {
namespace {

constexpr std::uint64_t kFileNode = 2;
constexpr std::uint64_t kFileSize = 64u << 10;

void reply(int device, std::uint64_t unique, int error, const void* body = nullptr, std::size_t size = 0) {
  std::vector<char> out(sizeof(fuse_out_header) + size);
  fuse_out_header header{};
  header.len = static_cast<std::uint32_t>(out.size());
  header.error = error;
  header.unique = unique;
  std::memcpy(out.data(), &header, sizeof header);
  if (size > 0) std::memcpy(out.data() + sizeof header, body, size);
  (void)!::write(device, out.data(), out.size());
}

fuse_attr attributesOf(std::uint64_t node) {
  fuse_attr attr{};
  attr.ino = node;
  attr.nlink = 1;
  attr.blksize = 4096;
  if (node == FUSE_ROOT_ID) {
    attr.mode = S_IFDIR | 0755;
  } else {
    attr.mode = S_IFREG | 0444;
    attr.size = kFileSize;
    attr.blocks = kFileSize / 512;
  }
  return attr;
}

}  // namespace

StallingFilesystem::StallingFilesystem() {
  const int device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (device < 0) return;
  const std::string options = "fd=" + std::to_string(device) + ",rootmode=40000,user_id=0,group_id=0";
  if (::mount("tessaly-stall", mountPoint_.path().c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    ::close(device);
    return;
  }
  device_ = device;
  server_ = std::thread([this] { serve(); });
}

void StallingFilesystem::unmount() {
  if (device_ < 0) return;
  stop_ = true;
  server_.join();
  ::close(device_);  // the last descriptor of the connection: closing it fails every waiting read
  device_ = -1;
  ::umount2(mountPoint_.path().c_str(), MNT_DETACH);
}

void StallingFilesystem::serve() {
  std::vector<char> buffer(FUSE_MIN_READ_BUFFER + (1u << 20));
  const int device = device_;
  while (!stop_) {
    pollfd ready{device, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const ssize_t got = ::read(device, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < static_cast<ssize_t>(sizeof(fuse_in_header))) return;  // unmounted or closed
    fuse_in_header in{};
    std::memcpy(&in, buffer.data(), sizeof in);
    const char* body = buffer.data() + sizeof in;
    switch (in.opcode) {
      case FUSE_INIT: {
        fuse_init_out out{};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = FUSE_KERNEL_MINOR_VERSION;
        out.max_readahead = 4096;
        out.max_write = 4096;
        out.time_gran = 1;
        out.max_pages = 1;
        reply(device, in.unique, 0, &out, sizeof out);
        break;
      }
      case FUSE_LOOKUP: {
        if (in.nodeid != FUSE_ROOT_ID || std::strcmp(body, "stall") != 0) {
          reply(device, in.unique, -ENOENT);
          break;
        }
        fuse_entry_out out{};
        out.nodeid = kFileNode;
        out.entry_valid = 3600;
        out.attr_valid = 3600;
        out.attr = attributesOf(kFileNode);
        reply(device, in.unique, 0, &out, sizeof out);
        break;
      }
      case FUSE_GETATTR: {
        fuse_attr_out out{};
        out.attr_valid = 3600;
        out.attr = attributesOf(in.nodeid);
        reply(device, in.unique, 0, &out, sizeof out);
        break;
      }
      case FUSE_OPEN:
      case FUSE_OPENDIR: {
        fuse_open_out out{};
        out.fh = 1;
        reply(device, in.unique, 0, &out, sizeof out);
        break;
      }
      case FUSE_READ:
        break;  // never answered
      case FUSE_FORGET:
      case FUSE_BATCH_FORGET:
        break;  // no answer expected
      case FUSE_FLUSH:
      case FUSE_RELEASE:
      case FUSE_RELEASEDIR:
        reply(device, in.unique, 0);
        break;
      default:
        reply(device, in.unique, -ENOSYS);
        break;
    }
  }
}

}  // namespace tessaly::testing
