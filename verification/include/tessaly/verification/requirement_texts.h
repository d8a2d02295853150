// The fixed code-signing requirement texts of peer and browser verification, word for word. Each has a golden
// copy in verification/testdata/requirements/ that a test compares character for character: a deliberate change
// to a text changes its copy in the same commit.
#pragma once

#include <string_view>

namespace tessaly::verification {

// Signed by the platform vendor's authority as a Mac App Store application, or as a Developer ID application.
inline constexpr std::string_view kAppleCertificateRequirement =
    "anchor apple generic and (\n"
    "        certificate leaf[field.1.2.840.113635.100.6.1.9] or (\n"
    "            certificate 1[field.1.2.840.113635.100.6.2.6] and certificate leaf[field.1.2.840.113635.100.6.1.13]\n"
    "        )\n"
    ")";

inline constexpr std::string_view kSafariRequirement = "anchor apple and identifier com.apple.Safari";

inline constexpr std::string_view kChromeRequirement =
    "anchor apple generic and (\n"
    "    (identifier com.google.Chrome and certificate leaf[subject.CN] = \"Developer ID Application: Google, Inc. "
    "(EQHXZ8M8AV)\")\n"
    ")";

inline constexpr std::string_view kOtherBrowsersRequirement =
    "anchor apple generic and (\n"
    "    (identifier com.google.Chrome.canary and certificate leaf[subject.CN] = \"Developer ID Application: Google, "
    "Inc. (EQHXZ8M8AV)\")\n"
    "    or (identifier com.google.Chrome.beta and certificate leaf[subject.CN] = \"Developer ID Application: Google, "
    "Inc. (EQHXZ8M8AV)\")\n"
    "    or (identifier com.google.Chrome.dev and certificate leaf[subject.CN] = \"Developer ID Application: Google, "
    "Inc. (EQHXZ8M8AV)\")\n"
    "    or (identifier org.mozilla.firefox and certificate leaf[subject.CN] = \"Developer ID Application: Mozilla "
    "Corporation (43AQ936H96)\")\n"
    "    or (identifier org.mozilla.nightly and certificate leaf[subject.CN] = \"Developer ID Application: Mozilla "
    "Corporation (43AQ936H96)\")\n"
    "    or (identifier org.mozilla.firefoxdeveloperedition and certificate leaf[subject.CN] = \"Developer ID "
    "Application: Mozilla Corporation (43AQ936H96)\")\n"
    "    or (identifier com.apple.SafariForWebKitDevelopment and certificate leaf[subject.CN] = \"Software Signing\")\n"
    "    or (identifier \"com.apple.SafariTechnologyPreview\" and certificate leaf[subject.CN] = \"Software "
    "Signing\")\n"
    "    or (identifier \"com.brave.Browser.beta\" and certificate leaf[subject.CN] = \"Developer ID Application: "
    "Brave Software, Inc. (KL8N8XSYF4)\")\n"
    "    or (identifier \"com.brave.Browser.nightly\" and certificate leaf[subject.CN] = \"Developer ID Application: "
    "Brave Software, Inc. (KL8N8XSYF4)\")\n"
    "    or (identifier \"com.brave.Browser.dev\" and certificate leaf[subject.CN] = \"Developer ID Application: Brave "
    "Software, Inc. (KL8N8XSYF4)\")\n"
    "    or (identifier \"com.brave.Browser\" and certificate leaf[subject.CN] = \"Developer ID Application: Brave "
    "Software, Inc. (KL8N8XSYF4)\")\n"
    "    or (identifier \"com.microsoft.edgemac\" and certificate leaf[subject.CN] = \"Developer ID Application: "
    "Microsoft Corporation (UBF8T346G9)\")\n"
    "    or (identifier \"com.microsoft.edgemac.Canary\" and certificate leaf[subject.CN] = \"Developer ID "
    "Application: Microsoft Corporation (UBF8T346G9)\")\n"
    "    or (identifier \"com.microsoft.edgemac.Dev\" and certificate leaf[subject.CN] = \"Developer ID Application: "
    "Microsoft Corporation (UBF8T346G9)\")\n"
    "    or (identifier \"com.microsoft.edgemac.Beta\" and certificate leaf[subject.CN] = \"Developer ID Application: "
    "Microsoft Corporation (UBF8T346G9)\")\n"
    ")";

}  // namespace tessaly::verification
