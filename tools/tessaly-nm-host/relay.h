// The host's work once the browser is trusted: carrying messages between the browser's pipes and the agent.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "frames.h"
#include "tessaly/xpc/options.h"

namespace tessaly::nmhost {

inline constexpr const char* kAgentService = TESSALY_AGENT_IDENTIFIER;

struct RelayOptions {
  std::string service = kAgentService;
  xpc::ServiceOptions serviceOptions;  // the socket directory (TESSALY_XPC_DIR by default) and limits
  // How long the agent may stay away, at the start or after it went, before the host gives up and ends.
  std::chrono::milliseconds reconnectWindow{30'000};
  // Attempts to reach it again back off from the first delay, doubling up to the longest.
  std::chrono::milliseconds firstRetryDelay{50};
  std::chrono::milliseconds longestRetryDelay{2'000};
  // Browser messages that may wait for the agent meanwhile; one more ends the host.
  std::size_t maxWaitingMessages = 1024;
  std::size_t maxWaitingBytes = std::size_t{64} << 20;
  std::size_t maxMessageFromBrowser = kMaxMessageFromBrowser;
  // After the browser closes its end, how long messages already sent may take to reach the agent.
  std::chrono::milliseconds drainAfterClose{500};
  // Where the host's log lines go. Default: the system log.
  std::function<void(std::string_view)> log;
};

// Why the relay ended; the process's exit status.
enum class RelayEnd : int {
  browserClosed = 0,   // end of input from the browser
  brokenInput = 1,     // a frame over the limit, or input that ended inside a frame
  browserGone = 2,     // writing to the browser failed
  agentAway = 3,       // the agent did not come back within the reconnect window
  agentRefused = 4,    // the agent refused this host
  tooManyWaiting = 5,  // more messages waited for the agent than the bounds allow
};

// Connects to the agent as an extension peer and relays until the browser closes its end or the relay cannot
// go on: each message read from `browserInput` goes to the agent as sendToMain:reply: with the message as a
// native-messaging frame; each reply and each message the agent delivers is written to `browserOutput`
// unchanged, as it arrives. A body the browser would not take is dropped with a log line. While the agent is
// away the host reconnects with back-off and holds the browser's messages, within the bounds of `options`.
RelayEnd runRelay(int browserInput, int browserOutput, const RelayOptions& options);

}  // namespace tessaly::nmhost
