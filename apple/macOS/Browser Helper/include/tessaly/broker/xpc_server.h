// The broker: the process-wide IPC server that relays between browser extensions and the desktop app.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "tessaly/broker/protocols.h"
#include "tessaly/broker/uuid.h"
#include "tessaly/xpc/xpc.h"

namespace tessaly::broker {

class ConnectedClient;

// Publishes the service named by the main bundle's identifier, vets and classifies every connecting peer,
// relays each extension's request to the desktop app and routes the answer back, broadcasts the desktop
// app's messages to every extension, queues requests and wakes the desktop app ("tessaly://activate") while
// none is connected, and tells every extension when the desktop app goes away.
//
// The agent uses the one instance shared(); start() and stop() are called from the main thread. Peers' messages
// and connection handlers run on each connection's own queue, so different peers are served concurrently.
class XPCServer final : public XPCBrowserHelper, public std::enable_shared_from_this<XPCServer> {
 public:
  // Decides whether the process with this identifier may connect.
  using Validator = std::function<bool(pid_t)>;

  // What the server asks of the system. Each one left empty takes the default.
  struct Dependencies {
    // Default: CodeSignatureValidator::validateRemoteProcess.
    Validator validateRemoteProcess;
    // Whether the process is a running application with a bundle identifier, that is, the desktop app.
    // Default: NSRunningApplication::runningApplicationWithProcessIdentifier(pid)->bundleIdentifier().
    std::function<bool(pid_t)> isApplicationWithBundleIdentifier;
    // The service name. Default: NSBundle::mainBundle()->bundleIdentifier().
    std::function<std::optional<std::string>()> mainBundleIdentifier;
    // Opens a URL, returning at once. Default: NSWorkspace::sharedWorkspace().openURL(url).
    std::function<void(const std::string&)> openURL;
    // The app-quit notification every extension gets when the desktop app goes; nothing when it cannot be
    // encoded. Default: model::appQuitNotificationFrame().
    std::function<std::optional<std::string>()> appQuitNotification;
    // Socket directory and limits of the listener and its connections.
    xpc::ServiceOptions serviceOptions;
  };

  // The process-wide server, made on first use with the default dependencies and never destroyed.
  static XPCServer& shared();
  // A server of its own, for tests and benchmarks; the agent uses shared().
  static std::shared_ptr<XPCServer> create(Dependencies dependencies = {});

  ~XPCServer() override;

  // Replaces the peer check; call before start(). An empty validator restores the default.
  void setValidator(Validator validator);

  // Publishes the service. Without a main-bundle identifier it logs and gives up; the process keeps running.
  // When the listener cannot publish the name (in use, or its socket folder unusable or not private), the
  // reason is logged and kept for publicationError().
  void start();
  // Why the last start() could not publish the service; nothing when it did, or when it had no name to publish.
  std::optional<xpc::Error> publicationError() const;
  // Withdraws the service, tears down every connection and forgets every request awaiting an answer without
  // calling its reply. Requests waiting for a desktop app stay queued. Safe without a start.
  void stop();

  // listener(_:shouldAcceptNewConnection:): runs on the listener's queue for each new connection.
  bool listenerShouldAcceptNewConnection(xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection);

  // XPCBrowserHelper, as every peer calls it.
  void echo(const xpc::Data& message, ReplyAction reply) override;
  void sendToMain(const xpc::Data& message, ReplyAction reply) override;
  void broadcastToExtensions(const xpc::Data& message) override;
  void sendResponse(const xpc::Data& message, const std::string& requestId) override;

  // A snapshot of the state, for inspection.
  struct Counts {
    bool listening = false;
    bool mainAppConnected = false;
    std::size_t extensions = 0;
    std::size_t pendingRequests = 0;
    std::size_t requestsAwaitingMainApp = 0;
  };
  Counts counts() const;

  // Only shared() and create() make servers.
 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  XPCServer(Key, Dependencies dependencies);

 private:
  using ExtensionTable = std::unordered_map<Uuid, std::shared_ptr<ConnectedClient>, UuidHash>;

  std::shared_ptr<XPCClient> finalizeXPCConnection(const std::shared_ptr<xpc::Connection>& connection);
  bool handleConnectionFromMainApp(const std::shared_ptr<xpc::Connection>& connection);
  bool handleConnectionFromExtension(const std::shared_ptr<xpc::Connection>& connection);
  static void mainAppDisconnected(const std::shared_ptr<ConnectedClient>& record,
                                  const std::weak_ptr<XPCServer>& server);
  static void extensionDisconnected(const std::shared_ptr<ConnectedClient>& record,
                                    const std::weak_ptr<XPCServer>& server);
  void notifyExtensionsOfMainAppDisconnection();
  // A request that waits for a desktop app, numbered in order of arrival.
  struct AwaitingRequest {
    std::uint64_t order = 0;
    xpc::Data message;
    ReplyAction reply;
  };

  // The connected path of sendToMain; the caller holds mainAppLock or has just read the slot. A request taken
  // from the waiting queue (`flushed`) goes back to it when the desktop app's connection ends before the request
  // was written to it.
  void relayToMainApp(const xpc::Data& message, ReplyAction reply, std::optional<std::uint64_t> flushed = {});
  void returnToWaitingQueue(const std::shared_ptr<ConnectedClient>& departed, const std::string& requestId,
                            std::uint64_t order, const xpc::Data& message);
  void wakeMainApp();

  Dependencies dependencies_;

  mutable std::mutex listenerLock;  // start and stop come from the main thread; inspection from anywhere
  std::shared_ptr<xpc::Listener> xpcListener;
  std::optional<xpc::Error> publicationError_;  // guarded by listenerLock

  // The desktop-app slot and the requests waiting for a desktop app. One lock covers both, so that a request
  // is either queued before a desktop app is set (and then flushed to it) or relayed to that app, never lost
  // in between, and the flush reaches the app before anything sent after it. Recursive, because the flush runs
  // the connected path of sendToMain, which reads the slot again.
  mutable std::recursive_mutex mainAppLock;
  std::shared_ptr<ConnectedClient> mainAppClient;

  mutable std::recursive_mutex extensionClientsLock;
  ExtensionTable extensionClients;

  mutable std::recursive_mutex pendingRequestsLock;
  std::unordered_map<std::string, ReplyAction> pendingRequests;

  std::deque<AwaitingRequest> requestsAwaitingMainApp;  // guarded by mainAppLock, oldest first
  std::uint64_t nextAwaitingOrder_ = 0;                 // guarded by mainAppLock
};

}  // namespace tessaly::broker
