// Runs one check of the validator in a process of its own, so that tests can sign this program as the agent
// (or leave it unsigned) and read the verdict on standard output and the log on standard error.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tessaly/verification/code_signature_validator.h"

using tessaly::verification::CodeSignatureValidator;

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "process" && argc == 3) {
    std::puts(CodeSignatureValidator::validateRemoteProcess(std::atoi(argv[2])) ? "true" : "false");
  } else if (mode == "browser" && argc == 3) {
    std::puts(CodeSignatureValidator::validateRemoteBrowser(std::atoi(argv[2])) ? "true" : "false");
  } else if (mode == "file" && argc == 3) {
    std::printf("%d\n", static_cast<int>(CodeSignatureValidator::validateCodeSignature(argv[2])));
  } else {
    std::fputs("usage: validator_probe process PID | browser PID | file PATH\n", stderr);
    return 2;
  }
  return 0;
}
