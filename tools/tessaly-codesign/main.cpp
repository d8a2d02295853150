// tessaly-codesign: signs and checks code with the project's signature format, and makes throwaway
// development authorities to sign with.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "tessaly/codesign/code_directory.h"
#include "tessaly/codesign/entitlements.h"
#include "tessaly/codesign/identity.h"
#include "tessaly/codesign/security.h"
#include "tessaly/codesign/signer.h"
#include "tessaly/verification/browser_makers.h"

namespace {

using namespace tessaly::codesign;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int report(const std::optional<Failure>& failure) {
  if (!failure) return kExitOk;
  std::cerr << "tessaly-codesign: " << failure->message << "\n";
  return kExitFailed;
}

std::string describe(OSStatus status) {
  return std::string(statusDescription(status)) + " (status " + std::to_string(status) + ")";
}

// Compiles the optional requirement; prints why it does not compile.
bool compileRequirement(const std::optional<std::string>& text, SecRequirementRef* requirement) {
  if (!text) return true;
  Requirement::ParseError error;
  *requirement = Requirement::compile(*text, &error);
  if (*requirement) return true;
  std::cerr << "tessaly-codesign: requirement does not compile at offset " << error.offset << ": " << error.message
            << "\n";
  return false;
}

int runRequirement(const std::string& text) {
  SecRequirementRef requirement;
  if (!compileRequirement(text, &requirement)) return kExitFailed;
  std::cout << requirement->canonicalText() << "\n";
  return kExitOk;
}

int printOutcome(const std::string& subject, OSStatus status, bool withRequirement) {
  if (status == errSecSuccess) {
    std::cout << subject << ": valid" << (withRequirement ? " and satisfies the requirement" : "") << "\n";
    return kExitOk;
  }
  std::cout << subject << ": invalid: " << describe(status) << "\n";
  return kExitFailed;
}

// The authority issues stand-ins for the browser makers too, so that a signed program can play a browser.
int runDevPki(const std::string& dir, DevPkiOptions options) {
  options.more = tessaly::verification::browserMakerIdentities();
  if (auto failure = createDevPki(dir, options)) return report(failure);
  std::cout << "trust anchors: " << dir << "/anchors\n"
            << "identities:    " << dir << "/identities\n";
  return kExitOk;
}

int runIssue(const std::string& dir, const std::string& name, const std::string& kindName,
             const std::string& commonName, const std::string& team) {
  std::optional<IdentityKind> kind = identityKindFromName(kindName);
  if (!kind) {
    std::cerr << "tessaly-codesign: unknown kind '" << kindName << "'\n";
    return kExitUsage;
  }
  return report(issueIdentity(dir, name, *kind, commonName, team));
}

std::optional<std::string> readEntitlements(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return std::nullopt;
  return bytes;
}

int runSign(const std::string& identityPath, const std::optional<std::string>& identifier,
            const std::optional<std::string>& entitlementsFile, const std::string& target) {
  Failure failure;
  std::optional<SigningIdentity> identity = SigningIdentity::load(identityPath, &failure);
  if (!identity) return report(failure);
  std::optional<std::string> entitlements;
  if (entitlementsFile) {
    entitlements = readEntitlements(*entitlementsFile);
    if (!entitlements) {
      std::cerr << "tessaly-codesign: cannot read the entitlements " << *entitlementsFile << "\n";
      return kExitFailed;
    }
  }
  if (auto signFailure = signCode(target, *identity, identifier, entitlements)) return report(signFailure);
  std::cout << target << ": signed by " << identity->commonName() << "\n";
  return kExitOk;
}

int runVerify(const std::string& target, const std::optional<std::string>& requirementText) {
  SecRequirementRef requirement;
  if (!compileRequirement(requirementText, &requirement)) return kExitUsage;
  SecStaticCodeRef code;
  OSStatus status = SecStaticCodeCreateWithPath(target, kSecCSDefaultFlags, &code);
  if (status == errSecSuccess) {
    status = SecStaticCodeCheckValidity(
        code, kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate, requirement);
  }
  return printOutcome(target, status, requirement != nullptr);
}

int runVerifyPid(int pid, const std::optional<std::string>& requirementText) {
  SecRequirementRef requirement;
  if (!compileRequirement(requirementText, &requirement)) return kExitUsage;
  SecCodeRef code;
  OSStatus status =
      SecCodeCopyGuestWithAttributes(nullptr, {{std::string(kSecGuestAttributePid), pid}}, kSecCSDefaultFlags, &code);
  if (status == errSecSuccess) status = SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement);
  return printOutcome("process " + std::to_string(pid), status, requirement != nullptr);
}

std::string textOf(const SigningInformation& info, std::string_view key, const char* absent) {
  auto found = info.find(key);
  const std::string* text = found == info.end() ? nullptr : std::get_if<std::string>(&found->second);
  return text != nullptr ? *text : absent;
}

int runDisplay(const std::string& target) {
  SecStaticCodeRef code;
  SigningInformation info;
  OSStatus status = SecStaticCodeCreateWithPath(target, kSecCSDefaultFlags, &code);
  if (status == errSecSuccess) {
    status = SecCodeCopySigningInformation(code, kSecCSSigningInformation | kSecCSRequirementInformation, &info);
  }
  if (status != errSecSuccess) {
    std::cerr << "tessaly-codesign: " << target << ": " << describe(status) << "\n";
    return kExitFailed;
  }
  std::cout << "Executable=" << textOf(info, kSecCodeInfoMainExecutable, "") << "\n"
            << "Format=" << textOf(info, kSecCodeInfoFormat, "") << "\n";
  if (info.find(kSecCodeInfoIdentifier) == info.end()) {
    std::cout << "Signature=none\n";
    return kExitOk;
  }
  std::cout << "Identifier=" << textOf(info, kSecCodeInfoIdentifier, "") << "\n"
            << "TeamIdentifier=" << textOf(info, kSecCodeInfoTeamIdentifier, "not set") << "\n";
  if (auto unique = info.find(kSecCodeInfoUnique); unique != info.end()) {
    const Bytes& bytes = std::get<Bytes>(unique->second);
    std::cout << "CDHash=" << toHex(bytes.data(), bytes.size()) << "\n";
  }
  if (auto certificates = info.find(kSecCodeInfoCertificates); certificates != info.end()) {
    for (const Bytes& der : std::get<std::vector<Bytes>>(certificates->second)) {
      std::optional<CertificateSummary> summary = summarizeCertificate(der);
      if (!summary) continue;
      std::cout << "Authority=" << summary->subject << "\n"
                << "  Issuer=" << summary->issuer << "\n"
                << "  Expires=" << summary->notAfter << "\n"
                << "  SHA256=" << summary->sha256 << "\n";
    }
  }
  if (auto entitlements = info.find(kSecCodeInfoEntitlements); entitlements != info.end()) {
    const auto described = describeEntitlements(std::get<std::string>(entitlements->second));
    std::cout << "Entitlements=" << described.size() << "\n";
    for (const auto& [key, value] : described) std::cout << "  " << key << "=" << value << "\n";
  } else {
    std::cout << "Entitlements=none\n";
  }
  std::cout << "DesignatedRequirement=" << textOf(info, kSecCodeInfoDesignatedRequirement, "none") << "\n";
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Signs and checks code (bundles and bare executables) with the project's signature format."};
  app.require_subcommand(1);

  DevPkiOptions pkiOptions;
  std::string pkiDir;
  CLI::App* devPki = app.add_subcommand(
      "dev-pki",
      "Make a throwaway development authority: DIR/anchors (roots to trust) and DIR/identities/NAME "
      "(developer-id, app-store, development, vendor, other-team, browser-*). Never trusted by default.");
  devPki->add_option("DIR", pkiDir, "Directory to create the authority in")->required();
  devPki->add_option("--team", pkiOptions.team, "Team identifier of the developer identities")->required();
  devPki->add_option("--other-team", pkiOptions.otherTeam, "Team identifier of the other-team identity");
  devPki->add_flag("--force", pkiOptions.replace, "Replace an authority already in DIR");

  std::string issueDir, issueName, issueKind, issueCommonName, issueTeam;
  CLI::App* issue = app.add_subcommand("issue", "Issue one more identity from the authority in DIR");
  issue->add_option("DIR", issueDir, "Directory of the authority")->required();
  issue->add_option("NAME", issueName, "Name of the identity file under DIR/identities")->required();
  issue->add_option("--kind", issueKind, "developer-id, app-store, development or vendor")->required();
  issue->add_option("--common-name", issueCommonName, "Common name of the leaf certificate")->required();
  issue->add_option("--team", issueTeam, "Team identifier (the leaf's organisational unit)");

  std::string identityPath, target;
  std::optional<std::string> identifier;
  CLI::App* sign = app.add_subcommand("sign", "Sign a bundle or a bare executable, replacing any signature");
  sign->add_option("--identity", identityPath, "Identity file (private key and certificate chain, PEM)")->required();
  sign->add_option("--identifier", identifier,
                   "Signing identifier (default: CFBundleIdentifier, or the executable's file name)");
  std::optional<std::string> entitlementsFile;
  sign->add_option("--entitlements", entitlementsFile,
                   "Property list (XML or binary) of a dictionary of entitlements to seal into the signature")
      ->check(CLI::ExistingFile);
  sign->add_option("TARGET", target, "Bundle directory or executable")->required();

  std::optional<std::string> requirement;
  CLI::App* verify = app.add_subcommand("verify", "Check the signature of code on disk; exit 0 only when valid");
  verify->add_option("--requirement", requirement, "Requirement the code must also satisfy");
  verify->add_option("TARGET", target, "Bundle directory or executable")->required();

  int pid = 0;
  CLI::App* verifyPid = app.add_subcommand("verify-pid", "Check the signature of a running process");
  verifyPid->add_option("PID", pid, "Process identifier")->required();
  verifyPid->add_option("--requirement", requirement, "Requirement the code must also satisfy");

  std::string requirementText;
  CLI::App* requirementCommand = app.add_subcommand(
      "requirement", "Compile a requirement text and print it in canonical form, or say where it stops making sense");
  requirementCommand->add_option("TEXT", requirementText, "Requirement text")->required();

  CLI::App* display =
      app.add_subcommand("display", "Show identifier, team identifier, entitlements and certificate chain");
  display->add_option("TARGET", target, "Bundle directory or executable")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (devPki->parsed()) return runDevPki(pkiDir, pkiOptions);
  if (issue->parsed()) return runIssue(issueDir, issueName, issueKind, issueCommonName, issueTeam);
  if (sign->parsed()) return runSign(identityPath, identifier, entitlementsFile, target);
  if (verify->parsed()) return runVerify(target, requirement);
  if (verifyPid->parsed()) return runVerifyPid(pid, requirement);
  if (display->parsed()) return runDisplay(target);
  if (requirementCommand->parsed()) return runRequirement(requirementText);
  return kExitUsage;
}
