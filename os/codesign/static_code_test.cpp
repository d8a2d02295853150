#include <fcntl.h>

#include <thread>
#include <tuple>

#include "signed_code_test.h"

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;
using testing::TemporaryDirectory;

constexpr const char* kMarketRequirement =
    "anchor apple generic and (certificate leaf[field.1.2.840.113635.100.6.1.9] or "
    "(certificate 1[field.1.2.840.113635.100.6.2.6] and certificate leaf[field.1.2.840.113635.100.6.1.13]))";

using StaticCodeTest = SignedCodeTest;

TEST_F(StaticCodeTest, SignedCodeIsValidAndDescribesItself) {
  for (bool binaryPlist : {false, true}) {
    BundleLayout layout;
    layout.binaryInfoPlist = binaryPlist;
    const fs::path bundle = signedBundle("developer-id", layout);
    EXPECT_EQ(checkPath(bundle, kMarketRequirement), errSecSuccess);
    // The main executable stands for its bundle.
    EXPECT_EQ(checkPath(executableOf(bundle), "identifier com.example.peer"), errSecSuccess);
    EXPECT_EQ(information(bundle, kSecCodeInfoIdentifier), "com.example.peer");
    EXPECT_EQ(information(bundle, kSecCodeInfoTeamIdentifier), testing::kTeam);
    EXPECT_EQ(information(bundle, kSecCodeInfoFormat), "bundle");
    // The designated requirement describes exactly this signer.
    EXPECT_EQ(checkPath(bundle, information(bundle, kSecCodeInfoDesignatedRequirement).c_str()), errSecSuccess);
  }
  // A signed bare program still runs.
  const fs::path tool = signedBare("app-store", "true", "/bin/true");
  EXPECT_EQ(checkPath(tool, kMarketRequirement), errSecSuccess);
  EXPECT_EQ(testing::run(tool, {}).exitCode, 0);
  EXPECT_EQ(information(tool, kSecCodeInfoIdentifier), "com.example.true");
  EXPECT_EQ(information(tool, kSecCodeInfoFormat), "executable");
}

TEST_F(StaticCodeTest, ResigningReplacesTheSignature) {
  const fs::path tool = signedBare("developer-id");
  testing::sign(tool, identity("other-team"), "com.example.tool");
  // The old signature is replaced, not wrapped: what is sealed is still just the original program.
  detail::UniqueFd fd(::open(tool.c_str(), O_RDONLY));
  EXPECT_EQ(detail::readAppendedSignature(fd.get()).contentLength, fs::file_size(testing::sleeperPath()));
  EXPECT_EQ(checkPath(tool), errSecSuccess);
  EXPECT_EQ(checkPath(tool, "certificate leaf[subject.OU] = Q7RM2KX9WD"), errSecCSReqFailed);

  const fs::path bundle = signedBundle("developer-id");
  testing::sign(bundle, identity("vendor"));
  EXPECT_EQ(checkPath(bundle, "anchor apple and identifier com.example.peer"), errSecSuccess);
  EXPECT_EQ(information(bundle, kSecCodeInfoTeamIdentifier), "<absent>");
}

// (Development and other teams' certificates under the market requirement: the validator's PeersAreCheckedStepByStep.)
TEST_F(StaticCodeTest, CertificateKindsAndTrust) {
  EXPECT_EQ(checkPath(signedBare("development")), errSecSuccess);
  EXPECT_EQ(checkPath(signedBare("vendor"), "anchor apple"), errSecSuccess);
  EXPECT_EQ(checkPath(signedBare("developer-id"), "anchor apple"), errSecCSReqFailed);

  // The same signature under someone else's roots, or none, is valid but not anchored.
  const fs::path tool = signedBare("developer-id");
  TemporaryDirectory elsewhere;
  testing::makeDevPki(elsewhere.path());
  ::setenv("TESSALY_TRUST_ANCHORS", (elsewhere.path() / "anchors").c_str(), 1);
  EXPECT_EQ(checkPath(tool), errSecSuccess);
  EXPECT_EQ(checkPath(tool, "anchor apple generic"), errSecCSReqFailed);
  ::setenv("TESSALY_TRUST_ANCHORS", (work() / "no-such-directory").c_str(), 1);
  EXPECT_EQ(checkPath(tool, "anchor apple generic"), errSecCSReqFailed);
  trustDevPki();
  EXPECT_EQ(checkPath(tool, "anchor apple generic"), errSecSuccess);
}

TEST_F(StaticCodeTest, UnsignedAndMissingCode) {
  const fs::path plain = work() / "plain";
  testing::copyExecutable(testing::sleeperPath(), plain);
  EXPECT_EQ(checkPath(plain), errSecCSUnsigned);
  EXPECT_EQ(information(plain, kSecCodeInfoIdentifier), "<absent>");
  EXPECT_EQ(information(plain, kSecCodeInfoMainExecutable), plain.native());

  // (An unsigned bundle and a bundle that is not there: the validator's CodeOnDiskGetsEachOfTheFourResults.)
  EXPECT_EQ(checkPath(""), errSecCSStaticCodeNotFound);
  fs::create_directories(work() / "Empty.app" / "Contents");
  EXPECT_EQ(checkPath(work() / "Empty.app"), errSecCSBadBundleFormat);
  testing::writeFile(work() / "Empty.app" / "Contents" / "Info.plist", "this is no property list");
  EXPECT_EQ(checkPath(work() / "Empty.app"), errSecCSBadBundleFormat);

  const fs::path hollow = signedBundle();
  fs::remove(executableOf(hollow));
  EXPECT_EQ(checkPath(hollow), errSecCSNoMainExecutable);

  // Without its Info.plist a bundle is no code, and its executable a bare file not signed as one.
  const fs::path noPlist = signedBundle();
  fs::remove(noPlist / "Contents/Info.plist");
  EXPECT_EQ(checkPath(noPlist), errSecCSBadBundleFormat);
  EXPECT_EQ(checkPath(executableOf(noPlist)), errSecCSUnsigned);
}

TEST_F(StaticCodeTest, EveryChangeToASealedBundleIsCaught) {
  const fs::path strings = "Contents/Resources/strings.txt";
  const fs::path signature = "Contents/_CodeSignature/CodeSignature";
  const fs::path directory = "Contents/_CodeSignature/CodeDirectory";
  const struct {
    const char* what;
    OSStatus expected;
    std::function<void(const fs::path& bundle)> apply;
  } tampers[] = {
      {"resource edited", errSecCSBadResource, [&](const fs::path& b) { testing::writeFile(b / strings, "hellO"); }},
      {"file added", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "Contents/Resources/x", ""); }},
      {"file added in a new folder", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "Contents/PlugIns/x/y", "z"); }},
      {"file added beside Contents", errSecCSBadResource,
       [](const fs::path& b) { testing::writeFile(b / "README", ""); }},
      {"file removed", errSecCSBadResource, [&](const fs::path& b) { fs::remove(b / strings); }},
      {"file replaced by a link", errSecCSBadResource,
       [&](const fs::path& b) {
         fs::remove(b / strings);
         fs::create_symlink("../Info.plist", b / strings);
       }},
      {"Info.plist edited", errSecCSBadResource,
       [](const fs::path& b) {
         std::string plist = testing::readFile(b / "Contents/Info.plist");
         plist.replace(plist.find("com.example.peer"), 16, "com.example.evil");
         testing::writeFile(b / "Contents/Info.plist", plist);
       }},
      {"executable edited", errSecCSSignatureFailed,
       [](const fs::path& b) { flipBit(executableOf(b), fs::file_size(executableOf(b)) / 2); }},
      {"signature removed", errSecCSSignatureFailed, [&](const fs::path& b) { fs::remove(b / signature); }},
      {"code directory removed", errSecCSSignatureFailed, [&](const fs::path& b) { fs::remove(b / directory); }},
      {"whole signature removed", errSecCSUnsigned,
       [](const fs::path& b) { fs::remove_all(b / "Contents/_CodeSignature"); }},
      {"signature garbage", errSecCSSignatureFailed,
       [&](const fs::path& b) { testing::writeFile(b / signature, std::string(900, '\x30')); }},
      {"signature bit flipped", errSecCSSignatureFailed, [&](const fs::path& b) { flipBit(b / signature, -5); }},
      // The edited resource's new hash sealed without being able to sign it.
      {"hash in the code directory rewritten", errSecCSSignatureFailed,
       [&](const fs::path& b) {
         testing::writeFile(b / strings, "hellO");
         std::string cd = testing::readFile(b / directory);
         const std::string oldHash = toHex(detail::sha256Of("hello"));
         cd.replace(cd.find(oldHash), oldHash.size(), toHex(detail::sha256Of("hellO")));
         testing::writeFile(b / directory, cd);
       }},
  };
  for (const auto& tamper : tampers) {
    const fs::path bundle = signedBundle();
    ASSERT_EQ(checkPath(bundle), errSecSuccess) << tamper.what;
    tamper.apply(bundle);
    EXPECT_EQ(checkPath(bundle), tamper.expected) << tamper.what;
  }
}

TEST_F(StaticCodeTest, EveryChangeToASignedBareExecutableIsCaught) {
  const struct {
    const char* what;
    OSStatus expected;
    void (*apply)(std::string& bytes);
  } tampers[] = {
      {"a byte of the program", errSecCSSignatureFailed, [](std::string& b) { b[b.size() / 3] ^= 1; }},
      {"bytes appended", errSecCSUnsigned, [](std::string& b) { b += "tail"; }},
      {"signature cut short", errSecCSSignatureFailed,
       [](std::string& b) { b.erase(b.size() - detail::kFooterSize - 40, 40); }},
      {"footer lengths damaged", errSecCSSignatureFailed,
       [](std::string& b) { b[b.size() - detail::kFooterSize] ^= 4; }},
      {"signature garbage", errSecCSSignatureFailed,
       [](std::string& b) { b.replace(b.size() - detail::kFooterSize - 200, 200, std::string(200, 'G')); }},
  };
  for (const auto& tamper : tampers) {
    const fs::path tool = signedBare();
    std::string bytes = testing::readFile(tool);
    tamper.apply(bytes);
    testing::writeFile(tool, bytes);
    EXPECT_EQ(checkPath(tool), tamper.expected) << tamper.what;
  }
}

// Signatures made with the right structure by the wrong party. (A signer under an untrusted authority that names
// itself after this team is the hostile peers' TrustBeforeWork.)
TEST_F(StaticCodeTest, ForgedSignaturesAreRefused) {
  // A directory claiming this team, signed by another team's certificate.
  const fs::path tool = signedBare("developer-id");
  const std::string bytes = testing::readFile(tool);
  detail::UniqueFd fd(::open(tool.c_str(), O_RDONLY));
  const detail::StoredSignature stored = detail::readAppendedSignature(fd.get());
  ASSERT_EQ(stored.state, detail::StoredSignature::State::present);
  const std::string cms = signDirectory("other-team", stored.codeDirectory);
  testing::writeFile(tool, bytes.substr(0, stored.contentLength) + stored.codeDirectory + cms +
                               detail::makeFooter(stored.contentLength, stored.codeDirectory.size(), cms.size()));
  EXPECT_EQ(checkPath(tool), errSecCSBadTeamIdentifier);

  // Another bundle's valid signature copied in (its executable is another program).
  const fs::path bundle = signedBundle();
  BundleLayout layout;
  layout.executable = "/bin/true";
  const fs::path donor = signedBundle("developer-id", layout);
  fs::remove_all(bundle / "Contents/_CodeSignature");
  fs::copy(donor / "Contents/_CodeSignature", bundle / "Contents/_CodeSignature");
  EXPECT_EQ(checkPath(bundle), errSecCSSignatureFailed);
}

// A link inside a bundle is sealed as a link: pointed elsewhere, it no longer matches.
TEST_F(StaticCodeTest, LinksInsideBundlesAreSealed) {
  BundleLayout layout;
  layout.executable = testing::sleeperPath();
  layout.files = {{"Contents/Resources/v1/data", "d"}};
  const fs::path bundle = testing::makeBundle(work(), layout);
  fs::create_symlink("v1", bundle / "Contents/Resources/current");
  testing::sign(bundle, identity("developer-id"));
  EXPECT_EQ(checkPath(bundle), errSecSuccess);
  fs::remove(bundle / "Contents/Resources/current");
  fs::create_symlink("v1/data", bundle / "Contents/Resources/current");
  EXPECT_EQ(checkPath(bundle), errSecCSBadResource);
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
  const fs::path anchors = work() / "anchors";
  fs::create_directories(anchors);
  fs::copy_file(pki_->path() / "anchors" / "root.pem", anchors / "root.pem");
  ::setenv("TESSALY_TRUST_ANCHORS", anchors.c_str(), 1);
  const fs::path bundle = signedBundle();
  EXPECT_EQ(checkPath(bundle, "anchor apple generic"), errSecSuccess);
  TemporaryDirectory rogue;
  testing::makeDevPki(rogue.path());
  const std::string ours = testing::readFile(anchors / "root.pem");
  testing::writeFile(anchors / "root.pem", testing::readFile(rogue.path() / "anchors" / "root.pem"));
  EXPECT_EQ(checkPath(bundle, "anchor apple generic"), errSecCSReqFailed) << "root replaced in place";
  testing::writeFile(anchors / "extra.pem", ours);
  EXPECT_EQ(checkPath(bundle, "anchor apple generic"), errSecSuccess) << "root added";
  fs::remove(anchors / "extra.pem");
  EXPECT_EQ(checkPath(bundle, "anchor apple generic"), errSecCSReqFailed) << "root removed";
  trustDevPki();

  // Remembered once the file system clock has moved on; then changed in place, keeping their sizes and inodes.
  const fs::path tool = signedBare();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (const auto& [code, file, offset] :
       {std::tuple{bundle, bundle / kSealedLibrary, 100}, std::tuple{tool, tool, 64}}) {
    ASSERT_EQ(checkPath(code), errSecSuccess);
    ASSERT_EQ(checkPath(code), errSecSuccess);
    flipBit(file, offset);
    EXPECT_EQ(checkPath(code), code == tool ? errSecCSSignatureFailed : errSecCSBadResource) << file;
  }
}

}  // namespace
}  // namespace tessaly::codesign
