// A file system whose one file another process can map but never read, for tests of reads that can stall.
#pragma once

#include <atomic>
#include <filesystem>
#include <thread>

#include "tessaly/testing/files.h"

namespace tessaly::testing {

// A FUSE file system served by this process: its file can be opened and mapped, but reads are never answered,
// so whoever touches its pages waits until the file system goes away.
class StallingFilesystem {
 public:
  // Mounts at a fresh folder (needs root). `mounted()` says whether that worked.
  StallingFilesystem();
  ~StallingFilesystem() { unmount(); }
  // Ends the file system, which fails every read still waiting. Safe to call again.
  void unmount();
  StallingFilesystem(const StallingFilesystem&) = delete;
  StallingFilesystem& operator=(const StallingFilesystem&) = delete;

  bool mounted() const noexcept { return device_ >= 0; }
  // The file: 64 KiB that nobody can read.
  std::filesystem::path file() const { return mountPoint_.path() / "stall"; }

 private:
  void serve();

  TemporaryDirectory mountPoint_;  // declared first: removed once unmounted
  int device_ = -1;
  std::atomic<bool> stop_{false};
  std::thread server_;
};

}  // namespace tessaly::testing
