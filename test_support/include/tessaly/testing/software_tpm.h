// A software TPM of a test's own: swtpm on Unix sockets in a fresh temporary folder, stopped at the end.
#pragma once

#include <optional>
#include <string>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"

namespace tessaly::testing {

// Starts swtpm (TPM 2.0, its state and sockets in a new temporary folder, so that tests running side by side
// never share one) and stops it, removing the folder, when destroyed. No real TPM is touched.
class SoftwareTpm {
 public:
  SoftwareTpm();
  ~SoftwareTpm();
  SoftwareTpm(const SoftwareTpm&) = delete;
  SoftwareTpm& operator=(const SoftwareTpm&) = delete;

  // False, with the reason in why(), when swtpm could not be started.
  bool ok() const noexcept { return process_.has_value(); }
  const std::string& why() const noexcept { return why_; }
  // The TCTI configuration that reaches it: "swtpm:path=<folder>/tpm.sock".
  std::string tcti() const;
  // Stops it now (a TPM that goes away).
  void stop();

 private:
  TemporaryDirectory folder_;  // declared first: removed after the process has ended
  std::optional<ChildProcess> process_;
  std::string why_;
};

}  // namespace tessaly::testing
