#include "tessaly/testing/signed_peers.h"

#include <plist/plist.h>

#include <cstdint>
#include <stdexcept>

#include "tessaly/testing/files.h"

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

std::string infoPlist(const BundleLayout& layout) {
  plist_t dictionary = plist_new_dict();
  if (layout.identifier) {
    plist_dict_set_item(dictionary, "CFBundleIdentifier", plist_new_string(layout.identifier->c_str()));
  }
  const std::string& executable = layout.executableName.empty() ? layout.name : layout.executableName;
  plist_dict_set_item(dictionary, "CFBundleExecutable", plist_new_string(executable.c_str()));
  plist_dict_set_item(dictionary, "CFBundlePackageType", plist_new_string("APPL"));
  plist_dict_set_item(dictionary, "LSUIElement", plist_new_bool(1));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  std::string out;
  if (layout.binaryInfoPlist) {
    plist_to_bin(dictionary, &bytes, &length);
    out.assign(bytes, length);
    plist_to_bin_free(bytes);
  } else {
    plist_to_xml(dictionary, &bytes, &length);
    out.assign(bytes, length);
    plist_to_xml_free(bytes);
  }
  plist_free(dictionary);
  return out;
}

}  // namespace

fs::path sleeperPath() { return TESSALY_TEST_SLEEPER; }
fs::path unsignedLibraryPath() { return TESSALY_TEST_UNSIGNED_LIBRARY; }
fs::path testAppPath() { return TESSALY_TEST_APP; }

void copyExecutable(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

fs::path makeBundle(const fs::path& parent, const BundleLayout& layout) {
  const fs::path bundle = parent / (layout.name + ".app");
  writeFile(bundle / "Contents/Info.plist", infoPlist(layout));
  fs::create_directories(bundle / "Contents/MacOS");
  const std::string& executable = layout.executableName.empty() ? layout.name : layout.executableName;
  if (layout.executable) copyExecutable(*layout.executable, bundle / "Contents/MacOS" / executable);
  for (const auto& [relative, contents] : layout.files) writeFile(bundle / relative, contents);
  return bundle;
}

}  // namespace tessaly::testing
