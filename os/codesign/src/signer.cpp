#include "tessaly/codesign/signer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "code_layout.h"
#include "identity_impl.h"
#include "tessaly/codesign/entitlements.h"

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using detail::UniqueFd;

Failure systemFailure(const std::string& what) {
  return Failure{errSecCSInternalError, what + ": " + std::strerror(errno)};
}

std::optional<Failure> writeAll(int fd, std::string_view bytes, const std::string& what) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return systemFailure("cannot write " + what);
    done += static_cast<std::size_t>(wrote);
  }
  return std::nullopt;
}

std::optional<Failure> copyPrefix(int from, int to, std::uint64_t length) {
  std::vector<char> buffer(1u << 20);
  std::uint64_t offset = 0;
  while (offset < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - offset));
    ssize_t got = ::pread(from, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return systemFailure("cannot read the executable");
    if (auto failure = writeAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(got)), "the executable")) {
      return failure;
    }
    offset += static_cast<std::uint64_t>(got);
  }
  return std::nullopt;
}

std::optional<std::string> signDirectory(const CodeDirectory& directory, const SigningIdentity& identity,
                                         std::string* codeDirectoryText) {
  *codeDirectoryText = serializeCodeDirectory(directory);
  const SigningIdentity::Impl& impl = identity.impl();
  return detail::signDetached(*codeDirectoryText, impl.key.get(), impl.leaf.get(), impl.intermediates);
}

std::optional<Failure> signBundle(const fs::path& bundle, const SigningIdentity& identity,
                                  const std::optional<std::string>& identifier, const std::string& entitlements) {
  UniqueFd root = detail::openBundleDirectory(bundle);
  std::optional<detail::BundleInfo> info = root ? detail::readBundleInfo(root.get()) : std::nullopt;
  if (!info) {
    return Failure{errSecCSBadBundleFormat, bundle.native() + ": no Contents/Info.plist naming a CFBundleExecutable"};
  }
  CodeDirectory directory;
  directory.format = CodeFormat::bundle;
  directory.identifier = identifier.value_or(info->identifier);
  if (directory.identifier.empty())
    return Failure{errSecParam, "the bundle has no CFBundleIdentifier: give an identifier"};
  directory.teamIdentifier = identity.teamIdentifier();
  directory.executablePath = "Contents/MacOS/" + info->executable;
  directory.entitlements = entitlements;

  std::error_code ec;
  fs::remove_all(bundle / std::string(detail::kSignatureDirectory), ec);
  if (ec) return Failure{errSecCSInternalError, "cannot remove the old signature: " + ec.message()};

  UniqueFd executable = detail::openBeneath(root.get(), directory.executablePath);
  struct stat stat {};
  if (!executable || ::fstat(executable.get(), &stat) != 0) {
    return Failure{errSecCSNoMainExecutable, "no main executable at " + directory.executablePath};
  }
  directory.executableSize = static_cast<std::uint64_t>(stat.st_size);
  std::optional<Sha256> digest = detail::sha256OfFd(executable.get(), directory.executableSize);
  if (!digest) return systemFailure("cannot read the main executable");
  directory.executableHash = *digest;

  OSStatus status = detail::listResources(root.get(), directory.executablePath, true, &directory.resources);
  if (status != errSecSuccess) {
    return Failure{
        status, bundle.native() + ": cannot seal the bundle's files (" + std::string(statusDescription(status)) + ")"};
  }
  for (const SealedResource& resource : directory.resources) {
    if (!isSafeRelativePath(resource.path)) return Failure{errSecCSBadResource, "unusable file name " + resource.path};
  }

  std::string text;
  std::optional<std::string> cms = signDirectory(directory, identity, &text);
  if (!cms) return Failure{errSecCSInternalError, "cannot make the signature: " + detail::takeOpenSslError()};
  fs::create_directories(bundle / std::string(detail::kSignatureDirectory), ec);
  if (ec) return Failure{errSecCSInternalError, "cannot create the signature directory: " + ec.message()};
  for (const auto& [name, bytes] : {std::pair{detail::kCodeDirectoryFile, std::string_view(text)},
                                    std::pair{detail::kSignatureFile, std::string_view(*cms)}}) {
    UniqueFd out(::open((bundle / std::string(name)).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return systemFailure("cannot write " + std::string(name));
    if (auto failure = writeAll(out.get(), bytes, std::string(name))) return failure;
  }
  return std::nullopt;
}

std::optional<Failure> signExecutable(const fs::path& file, const SigningIdentity& identity,
                                      const std::optional<std::string>& identifier, const std::string& entitlements) {
  UniqueFd input = detail::openRegularFile(file);
  struct stat stat {};
  if (!input || ::fstat(input.get(), &stat) != 0) return systemFailure("cannot open " + file.native());
  detail::StoredSignature old = detail::readAppendedSignature(input.get());
  if (old.state == detail::StoredSignature::State::malformed) {
    return Failure{errSecCSSignatureFailed, file.native() + " ends in a damaged signature"};
  }
  CodeDirectory directory;
  directory.format = CodeFormat::executable;
  directory.identifier = identifier.value_or(file.filename().native());
  directory.teamIdentifier = identity.teamIdentifier();
  directory.entitlements = entitlements;
  directory.executableSize = old.state == detail::StoredSignature::State::present
                                 ? old.contentLength
                                 : static_cast<std::uint64_t>(stat.st_size);
  std::optional<Sha256> digest = detail::sha256OfFd(input.get(), directory.executableSize);
  if (!digest) return systemFailure("cannot read " + file.native());
  directory.executableHash = *digest;
  if (directory.identifier.empty()) return Failure{errSecParam, "the identifier must not be empty"};

  std::string text;
  std::optional<std::string> cms = signDirectory(directory, identity, &text);
  if (!cms) return Failure{errSecCSInternalError, "cannot make the signature: " + detail::takeOpenSslError()};

  // Write the signed copy beside the original and move it into place: processes running the old file keep it.
  std::string temporary = (file.parent_path() / ("." + file.filename().native() + ".signing-XXXXXX")).native();
  if (file.parent_path().empty()) temporary = "." + file.filename().native() + ".signing-XXXXXX";
  UniqueFd output(::mkstemp(temporary.data()));
  if (!output) return systemFailure("cannot create a file beside " + file.native());
  std::optional<Failure> failure = copyPrefix(input.get(), output.get(), directory.executableSize);
  if (!failure) failure = writeAll(output.get(), text, "the signature");
  if (!failure) failure = writeAll(output.get(), *cms, "the signature");
  if (!failure) {
    failure =
        writeAll(output.get(), detail::makeFooter(directory.executableSize, text.size(), cms->size()), "the signature");
  }
  if (!failure && ::fchmod(output.get(), stat.st_mode & 07777) != 0) failure = systemFailure("cannot set the mode");
  if (!failure && ::rename(temporary.c_str(), file.c_str()) != 0)
    failure = systemFailure("cannot replace " + file.native());
  if (failure) ::unlink(temporary.c_str());
  return failure;
}

}  // namespace

std::optional<Failure> signCode(const fs::path& target, const SigningIdentity& identity,
                                const std::optional<std::string>& identifier,
                                const std::optional<std::string>& entitlementsPlist) {
  try {
    std::string entitlements;
    if (entitlementsPlist) {
      std::string problem;
      std::optional<std::string> normalized = normalizeEntitlements(*entitlementsPlist, &problem);
      if (!normalized) return Failure{errSecParam, "unusable entitlements: " + problem};
      entitlements = std::move(*normalized);
    }
    struct stat stat {};
    if (::stat(target.c_str(), &stat) != 0) return systemFailure("cannot find " + target.native());
    if (S_ISDIR(stat.st_mode)) return signBundle(target, identity, identifier, entitlements);
    if (!S_ISREG(stat.st_mode)) return Failure{errSecCSStaticCodeNotFound, target.native() + " is not code"};
    detail::CodeLocation location = detail::locationOfExecutable(target);
    if (location.format == CodeFormat::bundle) {
      return Failure{errSecParam,
                     target.native() + " is the main executable of " + location.root.native() + ": sign the bundle"};
    }
    return signExecutable(target, identity, identifier, entitlements);
  } catch (const std::exception& error) { return Failure{errSecCSInternalError, error.what()}; }
}

}  // namespace tessaly::codesign
