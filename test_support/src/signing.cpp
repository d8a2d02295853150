#include <stdexcept>

#include "tessaly/codesign/identity.h"
#include "tessaly/codesign/signer.h"
#include "tessaly/testing/signed_peers.h"
#include "tessaly/verification/browser_makers.h"

namespace tessaly::testing {

namespace fs = std::filesystem;

void makeDevPki(const fs::path& dir, std::string_view team) {
  codesign::DevPkiOptions options;
  options.team = std::string(team);
  options.more = verification::browserMakerIdentities();
  if (auto failure = codesign::createDevPki(dir, options)) throw std::runtime_error(failure->message);
}

void sign(const fs::path& target, const fs::path& identity, const std::optional<std::string>& identifier,
          const std::optional<std::string>& entitlements) {
  codesign::Failure failure;
  std::optional<codesign::SigningIdentity> loaded = codesign::SigningIdentity::load(identity, &failure);
  if (!loaded) throw std::runtime_error(failure.message);
  if (auto signFailure = codesign::signCode(target, *loaded, identifier, entitlements)) {
    throw std::runtime_error(signFailure->message);
  }
}

}  // namespace tessaly::testing
