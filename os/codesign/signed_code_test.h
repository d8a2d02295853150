// The fixture of the code-signing tests: signed bundles and bare programs from the suite's development authority,
// each in a folder of its own, and the checks of code on disk and of running processes.
#pragma once

#include <fstream>

#include "code_layout.h"
#include "identity_impl.h"
#include "tessaly/codesign/security.h"
#include "tessaly/codesign/signer.h"
#include "tessaly/testing/child_process.h"
#include "tessaly/testing/dev_pki_test.h"

namespace tessaly::codesign {

// A library in a bundle's seal, which the bundle's program may load.
inline constexpr const char* kSealedLibrary = "Contents/Frameworks/libpeer.so";

class SignedCodeTest : public testing::DevPkiTest {
 public:
  // A bundle around the sleeper (named `layout.name`, identifier com.example.peer) with a sealed resource,
  // Contents/Resources/strings.txt holding "hello", and the sealed library.
  std::filesystem::path signedBundle(const char* identityName = "developer-id", testing::BundleLayout layout = {},
                                     const std::optional<std::string>& entitlements = std::nullopt) {
    if (!layout.executable) layout.executable = testing::sleeperPath();
    layout.files.emplace_back("Contents/Resources/strings.txt", "hello");
    const std::filesystem::path bundle = testing::makeBundle(folder(), layout);
    testing::copyExecutable(testing::unsignedLibraryPath(), bundle / kSealedLibrary);
    testing::sign(bundle, identity(identityName), std::nullopt, entitlements);
    return bundle;
  }
  static std::filesystem::path executableOf(const std::filesystem::path& bundle, const std::string& name = "Peer") {
    return bundle / "Contents/MacOS" / name;
  }

  // A copy of `from` (the sleeper by default) named `name`, signed as com.example.<name>.
  std::filesystem::path signedBare(const char* identityName = "developer-id", const std::string& name = "tool",
                                   const std::filesystem::path& from = testing::sleeperPath()) {
    const std::filesystem::path file = folder() / name;
    testing::copyExecutable(from, file);
    testing::sign(file, identity(identityName), "com.example." + name);
    return file;
  }

  // Strict validation of code on disk, against the requirement when there is one.
  static OSStatus checkPath(const std::filesystem::path& path, const char* requirementText = nullptr) {
    SecStaticCodeRef code;
    const OSStatus status = SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code);
    if (status != errSecSuccess) return status;
    return SecStaticCodeCheckValidity(code, kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate,
                                      requirement(requirementText));
  }

  // Validation of the running process `pid`, against the requirement when there is one.
  static OSStatus checkProcess(std::int64_t pid, const char* requirementText = nullptr) {
    SecCodeRef code;
    const OSStatus status =
        SecCodeCopyGuestWithAttributes(nullptr, {{std::string(kSecGuestAttributePid), pid}}, kSecCSDefaultFlags, &code);
    return status != errSecSuccess ? status
                                   : SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement(requirementText));
  }

  static SecRequirementRef requirement(const char* text) {
    SecRequirementRef compiled;
    if (text != nullptr) {
      EXPECT_EQ(SecRequirementCreateWithString(text, kSecCSDefaultFlags, &compiled), errSecSuccess);
    }
    return compiled;
  }

  // One text of the signing information of the code at `path`; "<absent>" when it has none.
  static std::string information(const std::filesystem::path& path, std::string_view key) {
    SecStaticCodeRef code;
    SigningInformation info;
    EXPECT_EQ(SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code), errSecSuccess);
    EXPECT_EQ(SecCodeCopySigningInformation(code, kSecCSSigningInformation | kSecCSRequirementInformation, &info),
              errSecSuccess);
    const auto found = info.find(key);
    const std::string* value = found == info.end() ? nullptr : std::get_if<std::string>(&found->second);
    return value != nullptr ? *value : "<absent>";
  }

  // `text` signed by `identityName` as a detached signature, as a signer that skips every check would sign it.
  static std::string signDirectory(const char* identityName, const std::string& text) {
    Failure failure;
    const auto signer = SigningIdentity::load(identity(identityName), &failure);
    EXPECT_TRUE(signer) << failure.message;
    const auto& key = signer->impl();
    return detail::signDetached(text, key.key.get(), key.leaf.get(), key.intermediates).value_or("");
  }

  // Flips the lowest bit of the byte at `offset` of `file` (counted from its end when negative), in place.
  static void flipBit(const std::filesystem::path& file, std::streamoff offset) {
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    bytes.seekg(offset, offset < 0 ? std::ios::end : std::ios::beg);
    const char flipped = static_cast<char>(bytes.get() ^ 1);
    bytes.seekp(offset, offset < 0 ? std::ios::end : std::ios::beg);
    bytes.put(flipped);
  }

  // A fresh folder under this test's, for code that other cases must not see.
  std::filesystem::path folder() { return work() / std::to_string(++made_); }

 private:
  int made_ = 0;
};

}  // namespace tessaly::codesign
