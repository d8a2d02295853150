// Where services publish their sockets: the per-user private directory, its resolution and its checks.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "tessaly/xpc/error.h"

namespace tessaly::xpc {

// Name of the service directory inside the runtime directory's "app" folder.
inline constexpr std::string_view kServiceDirectoryName = "com.tessaly.xpc";
// Longest service name accepted.
inline constexpr std::size_t kMaxServiceNameLength = 80;

// What the directory is resolved from, so that the rule can be checked without touching the environment.
struct DirectoryEnvironment {
  std::string overrideDirectory;  // TESSALY_XPC_DIR
  std::string runtimeDirectory;   // XDG_RUNTIME_DIR
  std::string snapInstanceName;   // SNAP_INSTANCE_NAME, set inside a Snap
  uid_t uid = 0;
  bool runUserDirectoryExists = false;  // /run/user/<uid> is a directory
};

// The rule: TESSALY_XPC_DIR when set; otherwise <runtime>/app/com.tessaly.xpc, where <runtime> is
// XDG_RUNTIME_DIR (inside a Snap, with the Snap's private "snap.<name>" component removed) or else
// /run/user/<uid> when it exists; otherwise /tmp/tessaly-xpc-<uid>.
std::string resolveServiceDirectory(const DirectoryEnvironment& environment);
DirectoryEnvironment currentDirectoryEnvironment();
// resolveServiceDirectory(currentDirectoryEnvironment()).
std::string serviceDirectory();

// Makes sure `path` is a private directory of this user: creates it (and missing parents) with mode 0700;
// refuses (Error::directory_unusable, with the reason in `problem`) a symbolic link, something that is not a
// directory, a directory of another user and one that others may write to; and takes away from a directory of
// ours the leave of others to list or enter it.
Error preparePrivateDirectory(const std::string& path, std::string* problem = nullptr);
// The same checks without creating or changing anything; Error::service_unavailable when it is missing.
Error checkPrivateDirectory(const std::string& path);

// Non-empty, at most kMaxServiceNameLength bytes of [A-Za-z0-9._-], not starting with '.'.
bool isValidServiceName(std::string_view name) noexcept;

}  // namespace tessaly::xpc
