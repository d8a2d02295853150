#include "tessaly/testing/standard_error.h"

#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tessaly::testing {

bool logToStandardError() { return ::setenv("TESSALY_LOG", "stderr", 1) == 0; }

StandardErrorCapture::StandardErrorCapture()
    : file_(::memfd_create("stderr", MFD_CLOEXEC)), saved_(::dup(STDERR_FILENO)) {
  std::fflush(stderr);
  ::dup2(file_, STDERR_FILENO);
}

StandardErrorCapture::~StandardErrorCapture() {
  std::fflush(stderr);
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  ::close(file_);
}

std::string StandardErrorCapture::text() const {
  std::fflush(stderr);
  std::string out(static_cast<std::size_t>(::lseek(file_, 0, SEEK_END)), '\0');
  out.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(file_, out.data(), out.size(), 0))));
  return out;
}

}  // namespace tessaly::testing
