// Recognition of a browser installed from the system's package database, for browsers that carry no code
// signature of the kind the signature checks read (the browsers of a Linux distribution).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessaly::verification {

// Where to look and what counts: dpkg's database and the packages that hold the supported browsers.
struct PackageDatabase {
  std::filesystem::path root = "/var/lib/dpkg";  // holds status and info/<package>[:<arch>].md5sums
  std::vector<std::string> packages;             // the packages whose files count
  std::chrono::milliseconds budget{10'000};      // the whole check, hashing included, ends by then
};

// The packages of the supported browsers: Chromium, Google Chrome, Microsoft Edge, Brave, Vivaldi, Opera,
// Firefox and Firefox ESR, with their pre-release channels.
const std::vector<std::string>& supportedBrowserPackages();

// The database of this system, for the supported browsers.
PackageDatabase systemBrowserDatabase();

// True when the running executable of process `pid` is a regular file owned by root in a tree of folders
// owned by root, none of them (the file included) writable by group or others; the same holds for the
// database files read; one of `database.packages` is installed and lists that path with the MD5 digest of the
// running file's contents. Ownership and modes are read, not access rights tried, and every file is opened
// without waiting (a FIFO or device in its place fails). Logs what it found at debug level; never throws.
bool isInstalledBrowserPackage(std::int32_t pid, const PackageDatabase& database) noexcept;

}  // namespace tessaly::verification
