// The files of the device key store: read only when they are the user's own, made only where none exists.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "tessaly/security/sec_item.h"

namespace tessaly::security::keyfile {

// A key file is a PEM text of at most a few kilobytes.
inline constexpr std::size_t kMaxSize = 64 * 1024;

struct Contents {
  OSStatus status = errSecSuccess;
  std::string text;     // the file's bytes when status is errSecSuccess
  std::string problem;  // otherwise, what is wrong, for the log
};

// Reads the file at `path`. errSecItemNotFound when there is none. errSecIO when something is there that
// cannot be read, is not a regular file (a link is not followed) or belongs to another user, errSecDecode
// when it is larger than any key file. A file of ours that others may read is made owner-only (0600).
Contents read(const std::filesystem::path& path);

// Puts `text` at `path` only when nothing is there: the bytes are written and flushed beside it and then
// linked into place, so no reader ever sees half a key and of two writers racing for one path exactly one
// wins. errSecDuplicateItem when something was already there (it is left as it was), errSecIO on any other
// failure (with `problem` saying what); nothing of ours is left behind on failure.
OSStatus createExclusively(const std::filesystem::path& path, std::string_view text, std::string* problem);

// Makes `folder` and its missing parents with mode 0700; the folder must be a directory of the running user
// (group and other permissions are removed from it). False when it cannot be made so.
bool makeOwnerOnlyFolder(const std::filesystem::path& folder);

}  // namespace tessaly::security::keyfile
