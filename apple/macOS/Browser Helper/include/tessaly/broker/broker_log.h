// The broker's log lines: each text with the function string it carries and its level, for the broker, its
// tests and the demo (which reads this file).
#pragma once

#include <string_view>

namespace tessaly::broker::log_lines {

// The file name every line of the broker carries.
inline constexpr std::string_view kFile = "apple/macOS/Browser Helper/XPCServer";

// The function strings, one per operation of the broker.
namespace function {
inline constexpr std::string_view start = "start()";
inline constexpr std::string_view stop = "stop()";
inline constexpr std::string_view finalizeXPCConnection = "finalizeXPCConnection(_:)";
inline constexpr std::string_view handleConnectionFromMainApp = "handleConnectionFromMainApp(_:)";
inline constexpr std::string_view handleConnectionFromExtension = "handleConnectionFromExtension(_:)";
inline constexpr std::string_view shouldAcceptNewConnection = "listener(_:shouldAcceptNewConnection:)";
inline constexpr std::string_view echo = "echo(_:reply:)";
inline constexpr std::string_view sendToMain = "sendToMain(_:reply:)";
inline constexpr std::string_view broadcastToExtensions = "broadcastToExtensions(_:)";
inline constexpr std::string_view sendResponse = "sendResponse(_:for:)";
inline constexpr std::string_view notifyExtensionsOfMainAppDisconnection = "notifyExtensionsOfMainAppDisconnection()";
}  // namespace function

// `info` lines go through CoreLogging::log, `error` lines through CoreLogging::error.
enum class Level { info, error };

// Texts and function strings are literals, so their data() ends in a NUL.
struct Line {
  std::string_view text;
  std::string_view function;
  Level level;
};

inline constexpr Line startingListener{"Starting listener", function::start, Level::info};
inline constexpr Line corruptBundle{"Corrupt bundle, no CFBundleIdentifier present", function::start, Level::info};
inline constexpr Line resumingListener{"Resuming the listener", function::start, Level::info};
inline constexpr Line stoppingListener{"Stopping listener", function::stop, Level::info};
inline constexpr Line receivingConnection{"Receiving connection request.", function::shouldAcceptNewConnection,
                                          Level::info};
inline constexpr Line refusingUnsigned{"Connection was not from a process signed by us. Refusing connection.",
                                       function::shouldAcceptNewConnection, Level::info};
inline constexpr Line mainAppConnectionError{"Connection with main app received error", function::finalizeXPCConnection,
                                             Level::info};
inline constexpr Line desktopAppConnected{"Desktop app <-> browser helper connected",
                                          function::handleConnectionFromMainApp, Level::info};
inline constexpr Line desktopAppDisconnected{"Desktop app <-> browser helper disconnected",
                                             function::handleConnectionFromMainApp, Level::info};
inline constexpr Line extensionConnected{"Extension <-> browser helper connected",
                                         function::handleConnectionFromExtension, Level::info};
inline constexpr Line extensionDisconnected{"Extension <-> browser helper disconnected",
                                            function::handleConnectionFromExtension, Level::info};
inline constexpr Line echoReceived{"Received an echo request. Things are up and running!", function::echo, Level::info};
inline constexpr Line wakingMainApp{
    "Received a message to be dispatched to main, but no desktop app is connected. "
    "Waking up the main app.",
    function::sendToMain, Level::info};
inline constexpr Line sendingToDesktopApp{"Sending message to Desktop app", function::sendToMain, Level::info};
inline constexpr Line sendingToExtensions{"Sending message to extensions", function::broadcastToExtensions,
                                          Level::info};
inline constexpr Line responseReceived{"Received response from Desktop app for a previous message",
                                       function::sendResponse, Level::info};
inline constexpr Line appQuitEncodingFailed{"Failed to encode app quit notification",
                                            function::notifyExtensionsOfMainAppDisconnection, Level::error};

// Every line above.
inline constexpr const Line* kAll[] = {&startingListener,       &corruptBundle,         &resumingListener,
                                       &stoppingListener,       &receivingConnection,   &refusingUnsigned,
                                       &mainAppConnectionError, &desktopAppConnected,   &desktopAppDisconnected,
                                       &extensionConnected,     &extensionDisconnected, &echoReceived,
                                       &wakingMainApp,          &sendingToDesktopApp,   &sendingToExtensions,
                                       &responseReceived,       &appQuitEncodingFailed};

}  // namespace tessaly::broker::log_lines
