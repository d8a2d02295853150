// The browser makers whose Developer ID signatures the browser check trusts (requirement_texts.h names them), and
// the stand-ins for them that a development authority issues so that tests and demonstrations can play a browser.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tessaly/codesign/identity.h"

namespace tessaly::verification {

struct BrowserMaker {
  std::string_view identityName;  // the stand-in's file under a development authority's identities/
  std::string_view commonName;    // the leaf's subject common name, as the requirements compare it
  std::string_view team;          // the leaf's organisational unit
};

inline constexpr BrowserMaker kBrowserMakers[] = {
    {"browser-google", "Developer ID Application: Google, Inc. (EQHXZ8M8AV)", "EQHXZ8M8AV"},
    {"browser-mozilla", "Developer ID Application: Mozilla Corporation (43AQ936H96)", "43AQ936H96"},
    {"browser-brave", "Developer ID Application: Brave Software, Inc. (KL8N8XSYF4)", "KL8N8XSYF4"},
    {"browser-microsoft", "Developer ID Application: Microsoft Corporation (UBF8T346G9)", "UBF8T346G9"},
};

// The makers as Developer ID identities for a development authority to issue (codesign::DevPkiOptions::more).
inline std::vector<codesign::IdentityRequest> browserMakerIdentities() {
  std::vector<codesign::IdentityRequest> requests;
  for (const BrowserMaker& maker : kBrowserMakers) {
    requests.push_back({std::string(maker.identityName), codesign::IdentityKind::developerId,
                        std::string(maker.commonName), std::string(maker.team)});
  }
  return requests;
}

}  // namespace tessaly::verification
