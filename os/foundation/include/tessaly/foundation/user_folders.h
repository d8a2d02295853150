// The running user's own folders: home, configuration and data, following the XDG base-directory rules.
#pragma once

#include <filesystem>

namespace tessaly::foundation {

// $HOME when it is set and absolute, else the home directory of the user database entry of getuid().
std::filesystem::path userHomeDirectory();

// $XDG_CONFIG_HOME when absolute, else <home>/.config.
std::filesystem::path userConfigDirectory();

// $XDG_DATA_HOME when absolute, else <home>/.local/share.
std::filesystem::path userDataDirectory();

}  // namespace tessaly::foundation
