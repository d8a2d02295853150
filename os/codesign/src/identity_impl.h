// What a signing identity holds, for the signer.
#pragma once

#include <string>
#include <vector>

#include "openssl_support.h"
#include "tessaly/codesign/identity.h"

namespace tessaly::codesign {

struct SigningIdentity::Impl {
  detail::PkeyPtr key;
  detail::X509Ptr leaf;
  std::vector<detail::X509Ptr> intermediates;
  std::string team;
  std::string commonName;
};

}  // namespace tessaly::codesign
