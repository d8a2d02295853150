#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"
#include "tessaly/testing/dev_pki_test.h"
#include "code_layout.h"
#include "identity_impl.h"
#include "openssl_support.h"
#include "tessaly/codesign/code_directory.h"
#include "tessaly/codesign/security.h"
#include "tessaly/codesign/signer.h"

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;
using testing::TemporaryDirectory;

constexpr const char* kMarketRequirement =
    "anchor apple generic and (certificate leaf[field.1.2.840.113635.100.6.1.9] or "
    "(certificate 1[field.1.2.840.113635.100.6.2.6] and certificate leaf[field.1.2.840.113635.100.6.1.13]))";

class StaticCodeTest : public testing::DevPkiTest {
 protected:
  fs::path signedBundle(const char* identityName = "developer-id", BundleLayout layout = {}) {
    if (!layout.executable) layout.executable = testing::sleeperPath();
    if (layout.files.empty()) {
      layout.files = {{"Contents/Resources/strings.txt", "hello"},
                    {"Contents/Frameworks/libpeer.so", std::string(3000, 'x')}};
    }
    fs::path bundle = testing::makeBundle(work_.path(), layout);
    testing::sign(bundle, identity(identityName));
    return bundle;
  }

  fs::path signedBare(const char* identityName = "developer-id", const fs::path& from = testing::sleeperPath()) {
    fs::path file = work_.path() / "bare-tool";
    testing::copyExecutable(from, file);
    testing::sign(file, identity(identityName), "com.example.bare-tool");
    return file;
  }

  static OSStatus check(const fs::path& path, const char* requirementText = nullptr) {
    SecStaticCodeRef code;
    OSStatus status = SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code);
    if (status != errSecSuccess) return status;
    SecRequirementRef requirement;
    if (requirementText != nullptr) {
      EXPECT_EQ(SecRequirementCreateWithString(requirementText, kSecCSDefaultFlags, &requirement), errSecSuccess);
    }
    return SecStaticCodeCheckValidity(code, kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate,
                                      requirement);
  }

  static SigningInformation information(const fs::path& path) {
    SecStaticCodeRef code;
    EXPECT_EQ(SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code), errSecSuccess);
    SigningInformation info;
    EXPECT_EQ(SecCodeCopySigningInformation(code, kSecCSSigningInformation | kSecCSRequirementInformation, &info),
              errSecSuccess);
    return info;
  }

  static std::string text(const SigningInformation& info, std::string_view key) {
    auto found = info.find(key);
    const std::string* value = found == info.end() ? nullptr : std::get_if<std::string>(&found->second);
    return value ? *value : "<absent>";
  }

};

TEST_F(StaticCodeTest, SignedBundleIsValidAndDescribesItself) {
  for (bool binaryPlist : {false, true}) {
    BundleLayout layout;
    layout.name = binaryPlist ? "Binary" : "Xml";
    layout.binaryInfoPlist = binaryPlist;
    const fs::path bundle = signedBundle("developer-id", layout);
    EXPECT_EQ(check(bundle), errSecSuccess);
    EXPECT_EQ(check(bundle, kMarketRequirement), errSecSuccess);
    // The main executable stands for its bundle.
    EXPECT_EQ(check(bundle / "Contents" / "MacOS" / layout.name, "identifier com.example.peer"), errSecSuccess);

    const SigningInformation info = information(bundle);
    EXPECT_EQ(text(info, kSecCodeInfoIdentifier), "com.example.peer");
    EXPECT_EQ(text(info, kSecCodeInfoTeamIdentifier), "Q7RM2KX9WD");
    EXPECT_EQ(text(info, kSecCodeInfoFormat), "bundle");
    const auto& certificates = std::get<std::vector<Bytes>>(info.at(std::string(kSecCodeInfoCertificates)));
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_NE(summarizeCertificate(certificates[0])->subject.find("Developer ID Application"), std::string::npos);
    // The designated requirement describes exactly this signer.
    EXPECT_EQ(check(bundle, text(info, kSecCodeInfoDesignatedRequirement).c_str()), errSecSuccess);
  }
}

TEST_F(StaticCodeTest, SignedBareExecutableStillRuns) {
  const fs::path tool = signedBare("app-store", "/bin/true");
  EXPECT_EQ(check(tool, kMarketRequirement), errSecSuccess);
  EXPECT_EQ(testing::run(tool, {}).exitCode, 0);
  EXPECT_EQ(text(information(tool), kSecCodeInfoIdentifier), "com.example.bare-tool");
  EXPECT_EQ(text(information(tool), kSecCodeInfoFormat), "executable");
}

TEST_F(StaticCodeTest, ResigningReplacesTheSignature) {
  const fs::path tool = signedBare("developer-id");
  testing::sign(tool, identity("other-team"), "com.example.bare-tool");
  // The old signature is replaced, not wrapped: what is sealed is still just the original program.
  detail::UniqueFd fd(::open(tool.c_str(), O_RDONLY));
  EXPECT_EQ(detail::readAppendedSignature(fd.get()).contentLength, fs::file_size(testing::sleeperPath()));
  EXPECT_EQ(check(tool), errSecSuccess);
  EXPECT_NE(text(information(tool), kSecCodeInfoTeamIdentifier), "Q7RM2KX9WD");
  EXPECT_EQ(check(tool, "certificate leaf[subject.OU] = Q7RM2KX9WD"), errSecCSReqFailed);

  const fs::path bundle = signedBundle("developer-id");
  testing::sign(bundle, identity("vendor"));
  EXPECT_EQ(check(bundle, "anchor apple and identifier com.example.peer"), errSecSuccess);
  EXPECT_EQ(text(information(bundle), kSecCodeInfoTeamIdentifier), "<absent>");
}

TEST_F(StaticCodeTest, CertificateKindsAndTrust) {
  EXPECT_EQ(check(signedBare("development"), kMarketRequirement), errSecCSReqFailed);
  EXPECT_EQ(check(signedBare("development")), errSecSuccess);
  EXPECT_EQ(check(signedBare("other-team"), kMarketRequirement), errSecSuccess);
  EXPECT_EQ(check(signedBare("vendor"), "anchor apple"), errSecSuccess);
  EXPECT_EQ(check(signedBare("developer-id"), "anchor apple"), errSecCSReqFailed);

  // The same signature under someone else's roots, or none, is valid but not anchored.
  const fs::path tool = signedBare("developer-id");
  TemporaryDirectory elsewhere;
  testing::makeDevPki(elsewhere.path());
  ::setenv("TESSALY_TRUST_ANCHORS", (elsewhere.path() / "anchors").c_str(), 1);
  EXPECT_EQ(check(tool), errSecSuccess);
  EXPECT_EQ(check(tool, "anchor apple generic"), errSecCSReqFailed);
  ::setenv("TESSALY_TRUST_ANCHORS", (work_.path() / "no-such-directory").c_str(), 1);
  EXPECT_EQ(check(tool, "anchor apple generic"), errSecCSReqFailed);
  trustDevPki();
  EXPECT_EQ(check(tool, "anchor apple generic"), errSecSuccess);
}

TEST_F(StaticCodeTest, UnsignedAndMissingCode) {
  const fs::path plain = work_.path() / "plain";
  testing::copyExecutable(testing::sleeperPath(), plain);
  EXPECT_EQ(check(plain), errSecCSUnsigned);
  SigningInformation info = information(plain);
  EXPECT_EQ(info.count(std::string(kSecCodeInfoIdentifier)), 0u);
  EXPECT_EQ(text(info, kSecCodeInfoMainExecutable), plain.native());

  BundleLayout layout;
  layout.executable = testing::sleeperPath();
  EXPECT_EQ(check(testing::makeBundle(work_.path(), layout)), errSecCSUnsigned);

  EXPECT_EQ(check(work_.path() / "nothing-here"), errSecCSStaticCodeNotFound);
  EXPECT_EQ(check(""), errSecCSStaticCodeNotFound);
  fs::create_directories(work_.path() / "Empty.app" / "Contents");
  EXPECT_EQ(check(work_.path() / "Empty.app"), errSecCSBadBundleFormat);
  testing::writeFile(work_.path() / "Empty.app" / "Contents" / "Info.plist", "this is no property list");
  EXPECT_EQ(check(work_.path() / "Empty.app"), errSecCSBadBundleFormat);

  BundleLayout noExecutable;
  noExecutable.name = "Hollow";
  noExecutable.executable = testing::sleeperPath();
  const fs::path hollow = testing::makeBundle(work_.path(), noExecutable);
  fs::remove(hollow / "Contents" / "MacOS" / "Hollow");
  EXPECT_EQ(check(hollow), errSecCSNoMainExecutable);
}

TEST_F(StaticCodeTest, EveryChangeToASealedBundleIsCaught) {
  struct Tamper {
    const char* what;
    OSStatus expected;
    void (*apply)(const fs::path& bundle);
  };
  const Tamper tampers[] = {
      {"resource edited", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "Contents/Resources/strings.txt", "hellO"); }},
      {"resource grown", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "Contents/Resources/strings.txt", "hello!"); }},
      {"library edited", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "Contents/Frameworks/libpeer.so", std::string(3000, 'y')); }},
      {"file added", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "Contents/Resources/extra.txt", ""); }},
      {"file added in a new folder", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "Contents/PlugIns/x/y", "z"); }},
      {"file added beside Contents", errSecCSBadResource, [](const fs::path& b) { testing::writeFile(b / "README", "z"); }},
      {"file removed", errSecCSBadResource, [](const fs::path& b) { fs::remove(b / "Contents/Resources/strings.txt"); }},
      {"file replaced by a link", errSecCSBadResource,
       [](const fs::path& b) {
         fs::remove(b / "Contents/Resources/strings.txt");
         fs::create_symlink("../Info.plist", b / "Contents/Resources/strings.txt");
       }},
      {"Info.plist edited", errSecCSBadResource,
       [](const fs::path& b) {
         std::string plist = testing::readFile(b / "Contents/Info.plist");
         plist.replace(plist.find("com.example.peer"), 16, "com.example.evil");
         testing::writeFile(b / "Contents/Info.plist", plist);
       }},
      {"executable edited", errSecCSSignatureFailed,
       [](const fs::path& b) {
         std::string bytes = testing::readFile(b / "Contents/MacOS/Peer");
         bytes[bytes.size() / 2] ^= 1;
         testing::writeFile(b / "Contents/MacOS/Peer", bytes);
       }},
      {"executable grown", errSecCSSignatureFailed,
       [](const fs::path& b) { testing::writeFile(b / "Contents/MacOS/Peer", testing::readFile(b / "Contents/MacOS/Peer") + "x"); }},
      {"signature removed", errSecCSSignatureFailed, [](const fs::path& b) { fs::remove(b / "Contents/_CodeSignature/CodeSignature"); }},
      {"code directory removed", errSecCSSignatureFailed, [](const fs::path& b) { fs::remove(b / "Contents/_CodeSignature/CodeDirectory"); }},
      {"whole signature removed", errSecCSUnsigned, [](const fs::path& b) { fs::remove_all(b / "Contents/_CodeSignature"); }},
      {"signature truncated", errSecCSSignatureFailed,
       [](const fs::path& b) {
         std::string cms = testing::readFile(b / "Contents/_CodeSignature/CodeSignature");
         testing::writeFile(b / "Contents/_CodeSignature/CodeSignature", cms.substr(0, cms.size() - 10));
       }},
      {"signature garbage", errSecCSSignatureFailed,
       [](const fs::path& b) { testing::writeFile(b / "Contents/_CodeSignature/CodeSignature", std::string(900, '\x30')); }},
      {"signature bit flipped", errSecCSSignatureFailed,
       [](const fs::path& b) {
         std::string cms = testing::readFile(b / "Contents/_CodeSignature/CodeSignature");
         cms[cms.size() - 5] ^= 0x01;
         testing::writeFile(b / "Contents/_CodeSignature/CodeSignature", cms);
       }},
      {"hash in the code directory rewritten", errSecCSSignatureFailed,
       [](const fs::path& b) {
         // Seal the edited resource's new hash without being able to sign it.
         testing::writeFile(b / "Contents/Resources/strings.txt", "hellO");
         std::string cd = testing::readFile(b / "Contents/_CodeSignature/CodeDirectory");
         const std::string oldHash = toHex(detail::sha256Of("hello"));
         cd.replace(cd.find(oldHash), oldHash.size(), toHex(detail::sha256Of("hellO")));
         testing::writeFile(b / "Contents/_CodeSignature/CodeDirectory", cd);
       }},
      {"signature folder made a link", errSecCSSignatureFailed,
       [](const fs::path& b) {
         fs::rename(b / "Contents/_CodeSignature", b / "Contents/Signature");
         fs::create_directory_symlink("Signature", b / "Contents/_CodeSignature");
       }},
  };
  for (const Tamper& tamper : tampers) {
    TemporaryDirectory scratch;
    BundleLayout layout;
    layout.executable = testing::sleeperPath();
    layout.files = {{"Contents/Resources/strings.txt", "hello"}, {"Contents/Frameworks/libpeer.so", std::string(3000, 'x')}};
    const fs::path bundle = testing::makeBundle(scratch.path(), layout);
    testing::sign(bundle, identity("developer-id"));
    ASSERT_EQ(check(bundle), errSecSuccess) << tamper.what;
    tamper.apply(bundle);
    EXPECT_EQ(check(bundle), tamper.expected) << tamper.what;
  }
}

TEST_F(StaticCodeTest, MissingInfoPlistLeavesNoCodeToCheck) {
  const fs::path bundle = signedBundle();
  fs::remove(bundle / "Contents/Info.plist");
  EXPECT_EQ(check(bundle), errSecCSBadBundleFormat);
  // Its executable is then a bare file, and not signed as one.
  EXPECT_EQ(check(bundle / "Contents/MacOS/Peer"), errSecCSUnsigned);
}

TEST_F(StaticCodeTest, EveryChangeToASignedBareExecutableIsCaught) {
  struct Tamper {
    const char* what;
    OSStatus expected;
    void (*apply)(std::string& bytes);
  };
  const Tamper tampers[] = {
      {"first byte", errSecCSSignatureFailed, [](std::string& b) { b[0] ^= 1; }},
      {"middle byte", errSecCSSignatureFailed, [](std::string& b) { b[b.size() / 3] ^= 1; }},
      {"bytes appended", errSecCSUnsigned, [](std::string& b) { b += "tail"; }},
      {"last byte cut", errSecCSUnsigned, [](std::string& b) { b.pop_back(); }},
      {"signature cut short", errSecCSSignatureFailed,
       [](std::string& b) { b.erase(b.size() - detail::kFooterSize - 40, 40); }},
      {"footer lengths damaged", errSecCSSignatureFailed, [](std::string& b) { b[b.size() - detail::kFooterSize] ^= 4; }},
      {"signature garbage", errSecCSSignatureFailed,
       [](std::string& b) {
         for (std::size_t i = b.size() - detail::kFooterSize - 200; i < b.size() - detail::kFooterSize; ++i) b[i] = 'G';
       }},
  };
  for (const Tamper& tamper : tampers) {
    const fs::path tool = signedBare();
    std::string bytes = testing::readFile(tool);
    tamper.apply(bytes);
    testing::writeFile(tool, bytes);
    EXPECT_EQ(check(tool), tamper.expected) << tamper.what;
  }
}

// Signatures made with the right structure by the wrong party.
TEST_F(StaticCodeTest, ForgedSignaturesAreRefused) {
  Failure failure;
  auto other = SigningIdentity::load(identity("other-team"), &failure);
  ASSERT_TRUE(other) << failure.message;

  // A directory claiming this team, signed by another team's certificate.
  const fs::path tool = signedBare("developer-id");
  std::string bytes = testing::readFile(tool);
  detail::UniqueFd fd(::open(tool.c_str(), O_RDONLY));
  detail::StoredSignature stored = detail::readAppendedSignature(fd.get());
  ASSERT_EQ(stored.state, detail::StoredSignature::State::present);
  auto cms = detail::signDetached(stored.codeDirectory, other->impl().key.get(), other->impl().leaf.get(),
                                  other->impl().intermediates);
  ASSERT_TRUE(cms);
  std::string forged = bytes.substr(0, stored.contentLength) + stored.codeDirectory + *cms +
                       detail::makeFooter(stored.contentLength, stored.codeDirectory.size(), cms->size());
  testing::writeFile(tool, forged);
  EXPECT_EQ(check(tool), errSecCSBadTeamIdentifier);

  // A signer under an untrusted authority that names itself after this team.
  TemporaryDirectory rogue;
  testing::makeDevPki(rogue.path());
  const fs::path copy = work_.path() / "rogue-tool";
  testing::copyExecutable(testing::sleeperPath(), copy);
  testing::sign(copy, rogue.path() / "identities" / "developer-id", "com.example.bare-tool");
  EXPECT_EQ(text(information(copy), kSecCodeInfoTeamIdentifier), "Q7RM2KX9WD");
  EXPECT_EQ(check(copy, kMarketRequirement), errSecCSReqFailed);

  // Another bundle's valid signature copied in.
  const fs::path bundle = signedBundle();
  TemporaryDirectory elsewhere;
  BundleLayout layout;
  layout.executable = "/bin/true";
  const fs::path donor = testing::makeBundle(elsewhere.path(), layout);
  testing::sign(donor, identity("developer-id"));
  fs::remove_all(bundle / "Contents/_CodeSignature");
  fs::copy(donor / "Contents/_CodeSignature", bundle / "Contents/_CodeSignature");
  EXPECT_EQ(check(bundle), errSecCSBadResource);
}

TEST_F(StaticCodeTest, LinksInsideBundlesAreSealedAndLinksOutAreRefused) {
  BundleLayout layout;
  layout.executable = testing::sleeperPath();
  layout.files = {{"Contents/Resources/v1/data", "d"}};
  const fs::path bundle = testing::makeBundle(work_.path(), layout);
  fs::create_symlink("v1", bundle / "Contents/Resources/current");
  testing::sign(bundle, identity("developer-id"));
  EXPECT_EQ(check(bundle), errSecSuccess);
  fs::remove(bundle / "Contents/Resources/current");
  fs::create_symlink("v1/data", bundle / "Contents/Resources/current");
  EXPECT_EQ(check(bundle), errSecCSBadResource);

  fs::create_symlink("../../../outside", bundle / "Contents/Resources/escape");
  Failure failure;
  auto developer = SigningIdentity::load(identity("developer-id"), &failure);
  auto refused = signCode(bundle, *developer, std::nullopt);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, errSecCSInvalidSymlink);
}

TEST_F(StaticCodeTest, RefusesUnknownFlagsAndMissingObjects) {
  const fs::path tool = signedBare();
  SecStaticCodeRef code;
  EXPECT_EQ(SecStaticCodeCreateWithPath(tool, 1u << 30, &code), errSecCSInvalidFlags);
  ASSERT_EQ(SecStaticCodeCreateWithPath(tool, kSecCSDefaultFlags, &code), errSecSuccess);
  EXPECT_EQ(SecStaticCodeCheckValidity(code, 1u << 2, nullptr), errSecCSInvalidFlags);
  SigningInformation info;
  EXPECT_EQ(SecCodeCopySigningInformation(code, 1u << 0, &info), errSecCSInvalidFlags);
  EXPECT_EQ(SecStaticCodeCheckValidity(nullptr, kSecCSDefaultFlags, nullptr), errSecCSObjectRequired);
  SecRequirementRef requirement;
  EXPECT_EQ(SecRequirementCreateWithString("anchor", kSecCSDefaultFlags, &requirement), errSecCSReqInvalid);
  EXPECT_FALSE(requirement);
}

// The anchors and verified code are kept between checks, and only as long as what they came from is unchanged.
TEST_F(StaticCodeTest, CachesFollowChangesOnDisk) {
  const fs::path anchors = work_.path() / "anchors";
  fs::create_directories(anchors);
  fs::copy_file(pki_->path() / "anchors" / "root.pem", anchors / "root.pem");
  ::setenv("TESSALY_TRUST_ANCHORS", anchors.c_str(), 1);
  const fs::path bundle = signedBundle();
  EXPECT_EQ(check(bundle, "anchor apple generic"), errSecSuccess);
  TemporaryDirectory rogue;
  testing::makeDevPki(rogue.path());
  const std::string ours = testing::readFile(anchors / "root.pem");
  testing::writeFile(anchors / "root.pem", testing::readFile(rogue.path() / "anchors" / "root.pem"));
  EXPECT_EQ(check(bundle, "anchor apple generic"), errSecCSReqFailed) << "root replaced in place";
  testing::writeFile(anchors / "extra.pem", ours);
  EXPECT_EQ(check(bundle, "anchor apple generic"), errSecSuccess) << "root added";
  fs::remove(anchors / "extra.pem");
  EXPECT_EQ(check(bundle, "anchor apple generic"), errSecCSReqFailed) << "root removed";
  trustDevPki();

  // Checked once the file system clock has moved on, so that the verified files are remembered; then changed
  // in place, keeping their sizes and inodes.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(check(bundle), errSecSuccess);
  ASSERT_EQ(check(bundle), errSecSuccess);
  {
    std::fstream library(bundle / "Contents/Frameworks/libpeer.so", std::ios::in | std::ios::out | std::ios::binary);
    library.seekp(100);
    library.put('y');
  }
  EXPECT_EQ(check(bundle), errSecCSBadResource);
  const fs::path tool = signedBare();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(check(tool), errSecSuccess);
  {
    std::fstream program(tool, std::ios::in | std::ios::out | std::ios::binary);
    program.seekp(64);
    program.put('\x7f');
  }
  EXPECT_EQ(check(tool), errSecCSSignatureFailed);
}

}  // namespace
}  // namespace tessaly::codesign
