#include "tessaly/broker/xpc_server.h"

#include <algorithm>
#include <source_location>
#include <vector>

#include "connected_client.h"
#include "tessaly/appkit/bundle.h"
#include "tessaly/appkit/running_application.h"
#include "tessaly/appkit/workspace.h"
#include "tessaly/broker/broker_log.h"
#include "tessaly/logging/core_logging.h"
#include "tessaly/model/native_messaging.h"
#include "tessaly/os/log.h"
#include "tessaly/verification/code_signature_validator.h"

namespace tessaly::broker {
namespace {

constexpr const char* kWakeURL = "tessaly://activate";

// Writes one of the broker's lines: `note` for the ordinary ones, `fail` for the error line.
void note(const log_lines::Line& line, std::source_location where = std::source_location::current()) {
  logging::CoreLogging::log(line.text.data(), log_lines::kFile.data(), line.function.data(),
                            static_cast<long>(where.line()));
}

void fail(const log_lines::Line& line, std::source_location where = std::source_location::current()) {
  logging::CoreLogging::error(line.text.data(), log_lines::kFile.data(), line.function.data(),
                              static_cast<long>(where.line()));
}

// The listener holds its delegate strongly; this one holds the server weakly, so that nothing keeps a server
// alive through its own listener.
class ServerListenerDelegate final : public xpc::ListenerDelegate {
 public:
  explicit ServerListenerDelegate(std::weak_ptr<XPCServer> server) : server_(std::move(server)) {}

  bool shouldAcceptNewConnection(xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection) override {
    const std::shared_ptr<XPCServer> server = server_.lock();
    return server && server->listenerShouldAcceptNewConnection(listener, connection);
  }

 private:
  std::weak_ptr<XPCServer> server_;
};

XPCServer::Validator defaultValidator() {
  return [](pid_t pid) { return verification::CodeSignatureValidator::validateRemoteProcess(pid); };
}

}  // namespace

// ---- making servers ------------------------------------------------------------------------------------

XPCServer& XPCServer::shared() {
  // Never destroyed: connection handlers may still run while the process exits.
  static XPCServer* const instance = [] {
    auto* holder = new std::shared_ptr<XPCServer>(create());
    return holder->get();
  }();
  return *instance;
}

std::shared_ptr<XPCServer> XPCServer::create(Dependencies dependencies) {
  if (!dependencies.validateRemoteProcess) dependencies.validateRemoteProcess = defaultValidator();
  if (!dependencies.isApplicationWithBundleIdentifier) {
    dependencies.isApplicationWithBundleIdentifier = [](pid_t pid) {
      const auto application = appkit::NSRunningApplication::runningApplicationWithProcessIdentifier(pid);
      return application != nullptr && application->bundleIdentifier().has_value();
    };
  }
  if (!dependencies.openURL) {
    dependencies.openURL = [](const std::string& url) { appkit::NSWorkspace::sharedWorkspace().openURL(url); };
  }
  if (!dependencies.appQuitNotification) {
    dependencies.appQuitNotification = []() -> std::optional<std::string> {
      const base::Expected<std::string, model::FrameError> frame = model::appQuitNotificationFrame();
      return frame ? std::optional(*frame) : std::nullopt;
    };
  }
  if (!dependencies.mainBundleIdentifier) {
    dependencies.mainBundleIdentifier = []() -> std::optional<std::string> {
      const auto bundle = appkit::NSBundle::mainBundle();
      return bundle ? bundle->bundleIdentifier() : std::nullopt;
    };
  }
  return std::make_shared<XPCServer>(Key{}, std::move(dependencies));
}

XPCServer::XPCServer(Key, Dependencies dependencies) : dependencies_(std::move(dependencies)) {}

XPCServer::~XPCServer() = default;

void XPCServer::setValidator(Validator validator) {
  std::lock_guard lock(listenerLock);
  dependencies_.validateRemoteProcess = validator ? std::move(validator) : defaultValidator();
}

// ---- start and stop ------------------------------------------------------------------------------------

void XPCServer::start() {
  note(log_lines::startingListener);
  const std::optional<std::string> identifier = dependencies_.mainBundleIdentifier();
  if (!identifier) {
    note(log_lines::corruptBundle);
    return;
  }
  std::shared_ptr<xpc::Listener> listener = xpc::Listener::create(*identifier, dependencies_.serviceOptions);
  listener->setDelegate(std::make_shared<ServerListenerDelegate>(weak_from_this()));
  {
    std::lock_guard lock(listenerLock);
    xpcListener = listener;  // an earlier listener is dropped, not invalidated
    publicationError_.reset();
  }
  note(log_lines::resumingListener);
  if (const xpc::Error error = listener->resume(); error != xpc::Error::none) {
    // The platform's listener cannot fail here; ours can, when the name is taken or its folder is unusable.
    // The process decides what follows (the agent ends: see AppDelegate).
    oslog::error("com.tessaly.browser-helper", "broker",
                 "cannot publish the service " + *identifier + ": " + std::string(xpc::describe(error)));
    std::lock_guard lock(listenerLock);
    publicationError_ = error;
  }
}

std::optional<xpc::Error> XPCServer::publicationError() const {
  std::lock_guard lock(listenerLock);
  return publicationError_;
}

void XPCServer::stop() {
  note(log_lines::stoppingListener);
  {
    std::lock_guard lock(listenerLock);
    if (xpcListener) xpcListener->invalidate();
    xpcListener = nullptr;
  }
  {
    std::lock_guard lock(mainAppLock);
    if (mainAppClient) mainAppClient->tearDown();
    mainAppClient = nullptr;
  }
  ExtensionTable extensions;
  {
    std::lock_guard lock(extensionClientsLock);
    for (const auto& [uuid, record] : extensionClients) record->tearDown();
    extensions.swap(extensionClients);
  }
  std::unordered_map<std::string, ReplyAction> dropped;
  {
    std::lock_guard lock(pendingRequestsLock);
    dropped.swap(pendingRequests);
  }
  // The records and the dropped reply actions are released here, off the locks; no reply is called.
}

// ---- accepting connections -----------------------------------------------------------------------------

bool XPCServer::listenerShouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& connection) {
  note(log_lines::receivingConnection);
  Validator validate;
  {
    std::lock_guard lock(listenerLock);
    validate = dependencies_.validateRemoteProcess;
  }
  if (!validate(connection->processIdentifier())) {
    note(log_lines::refusingUnsigned);
    return false;
  }
  if (dependencies_.isApplicationWithBundleIdentifier(connection->processIdentifier())) {
    return handleConnectionFromMainApp(connection);
  }
  return handleConnectionFromExtension(connection);
}

std::shared_ptr<XPCClient> XPCServer::finalizeXPCConnection(const std::shared_ptr<xpc::Connection>& connection) {
  connection->setExportedInterface(XPCBrowserHelper::interface());
  connection->setExportedObject(shared_from_this());
  connection->setRemoteObjectInterface(XPCClient::interface());
  connection->resume();
  xpc::RemoteProxy proxy =
      connection->remoteObjectProxyWithErrorHandler([](xpc::Error) { note(log_lines::mainAppConnectionError); });
  if (!proxy.conformsTo(XPCClient::interface())) return nullptr;
  return std::make_shared<XPCClientProxy>(std::move(proxy));
}

bool XPCServer::handleConnectionFromMainApp(const std::shared_ptr<xpc::Connection>& connection) {
  auto record = std::make_shared<ConnectedClient>(connection);
  const std::function<void()> onDisconnect = [record, server = weak_from_this()] {
    mainAppDisconnected(record, server);
  };
  connection->setInvalidationHandler(onDisconnect);
  connection->setInterruptionHandler(onDisconnect);
  std::shared_ptr<XPCClient> proxy = finalizeXPCConnection(connection);
  if (!proxy) return false;
  record->attach(std::move(proxy));
  std::lock_guard lock(mainAppLock);
  mainAppClient = record;
  note(log_lines::desktopAppConnected);
  // Oldest first; with the slot set, each takes the connected path and gets an identifier of its own.
  for (AwaitingRequest& request : requestsAwaitingMainApp) {
    relayToMainApp(request.message, std::move(request.reply), request.order);
  }
  requestsAwaitingMainApp.clear();
  return true;
}

void XPCServer::mainAppDisconnected(const std::shared_ptr<ConnectedClient>& record,
                                    const std::weak_ptr<XPCServer>& server) {
  note(log_lines::desktopAppDisconnected);
  record->tearDown();
  if (const std::shared_ptr<XPCServer> self = server.lock()) {
    {
      std::lock_guard lock(self->mainAppLock);
      self->mainAppClient = nullptr;  // whatever record it holds
    }
    self->notifyExtensionsOfMainAppDisconnection();
  }
}

bool XPCServer::handleConnectionFromExtension(const std::shared_ptr<xpc::Connection>& connection) {
  auto record = std::make_shared<ConnectedClient>(connection);
  const std::function<void()> onDisconnect = [record, server = weak_from_this()] {
    extensionDisconnected(record, server);
  };
  connection->setInvalidationHandler(onDisconnect);
  connection->setInterruptionHandler(onDisconnect);
  std::shared_ptr<XPCClient> proxy = finalizeXPCConnection(connection);
  if (!proxy) return false;
  record->attach(std::move(proxy));
  {
    std::lock_guard lock(extensionClientsLock);
    extensionClients.emplace(record->uuid(), record);
  }
  note(log_lines::extensionConnected);
  return true;
}

void XPCServer::extensionDisconnected(const std::shared_ptr<ConnectedClient>& record,
                                      const std::weak_ptr<XPCServer>& server) {
  note(log_lines::extensionDisconnected);
  record->tearDown();
  if (const std::shared_ptr<XPCServer> self = server.lock()) {
    std::lock_guard lock(self->extensionClientsLock);
    self->extensionClients.erase(record->uuid());
  }
}

void XPCServer::notifyExtensionsOfMainAppDisconnection() {
  const std::optional<std::string> frame = dependencies_.appQuitNotification();
  if (!frame) {
    fail(log_lines::appQuitEncodingFailed);
    return;
  }
  broadcastToExtensions(xpc::Data::fromText(*frame));
}

// ---- the messages peers send ---------------------------------------------------------------------------

void XPCServer::echo(const xpc::Data& message, ReplyAction reply) {
  note(log_lines::echoReceived);
  reply(message);
}

void XPCServer::sendToMain(const xpc::Data& message, ReplyAction reply) {
  std::unique_lock lock(mainAppLock);
  if (mainAppClient) {
    lock.unlock();
    relayToMainApp(message, std::move(reply));
    return;
  }
  note(log_lines::wakingMainApp);
  requestsAwaitingMainApp.push_back(AwaitingRequest{nextAwaitingOrder_++, message, std::move(reply)});
  lock.unlock();
  wakeMainApp();
}

void XPCServer::relayToMainApp(const xpc::Data& message, ReplyAction reply, std::optional<std::uint64_t> flushed) {
  note(log_lines::sendingToDesktopApp);
  const std::string requestId = makeRequestIdentifier();
  {
    std::lock_guard lock(pendingRequestsLock);
    pendingRequests.emplace(requestId, std::move(reply));
  }
  std::shared_ptr<ConnectedClient> mainApp;
  {
    std::lock_guard lock(mainAppLock);
    mainApp = mainAppClient;
  }
  if (!mainApp) return;  // gone meanwhile: the request stays pending
  if (!flushed) {
    if (const std::shared_ptr<XPCClient> client = mainApp->client()) client->receive(message, requestId);
    return;
  }
  // A request from the waiting queue counts as handed on once its bytes are written to the desktop app's
  // connection. Until then it is the queue's: a connection refused after the delegate accepted it, or ended
  // before the request went out, gives it back, and the next desktop app gets it in its place.
  const std::shared_ptr<xpc::Connection> connection = mainApp->connection();
  if (!connection || !mainApp->client()) {
    returnToWaitingQueue(mainApp, requestId, *flushed, message);
    return;
  }
  const xpc::RemoteProxy proxy = connection->remoteObjectProxyWithErrorHandler(
      [server = weak_from_this(), mainApp, requestId, order = *flushed, message](xpc::Error error) {
        note(log_lines::mainAppConnectionError);
        const bool unsent = error == xpc::Error::connection_invalid || error == xpc::Error::connection_interrupted;
        if (const std::shared_ptr<XPCServer> self = server.lock(); self && unsent) {
          self->returnToWaitingQueue(mainApp, requestId, order, message);
        }
      });
  XPCClientProxy(proxy).receive(message, requestId);
}

void XPCServer::returnToWaitingQueue(const std::shared_ptr<ConnectedClient>& departed, const std::string& requestId,
                                     std::uint64_t order, const xpc::Data& message) {
  ReplyAction reply;
  {
    std::lock_guard lock(pendingRequestsLock);
    const auto found = pendingRequests.find(requestId);
    if (found == pendingRequests.end()) return;  // stop() dropped it
    reply = std::move(found->second);
    pendingRequests.erase(found);
  }
  std::lock_guard lock(mainAppLock);
  if (mainAppClient && mainAppClient != departed) {
    // Another desktop app took the slot meanwhile: it gets the request as part of its own flush.
    relayToMainApp(message, std::move(reply), order);
    return;
  }
  // Back in its place among the waiting requests, which keep their order of arrival. Its wake URL was opened
  // when it first arrived.
  const auto place =
      std::upper_bound(requestsAwaitingMainApp.begin(), requestsAwaitingMainApp.end(), order,
                       [](std::uint64_t value, const AwaitingRequest& request) { return value < request.order; });
  requestsAwaitingMainApp.insert(place, AwaitingRequest{order, message, std::move(reply)});
}

void XPCServer::wakeMainApp() {
  // Returns at once: the workspace starts the opener in the background.
  dependencies_.openURL(kWakeURL);
}

void XPCServer::broadcastToExtensions(const xpc::Data& message) {
  note(log_lines::sendingToExtensions);
  const std::string noRequestId;
  std::lock_guard lock(extensionClientsLock);
  for (const auto& [uuid, record] : extensionClients) {
    if (const std::shared_ptr<XPCClient> client = record->client()) client->receive(message, noRequestId);
  }
}

void XPCServer::sendResponse(const xpc::Data& message, const std::string& requestId) {
  note(log_lines::responseReceived);
  std::lock_guard lock(pendingRequestsLock);
  const auto found = pendingRequests.find(requestId);
  if (found == pendingRequests.end()) return;
  found->second(message);
  pendingRequests.erase(found);
}

// ---- inspection ----------------------------------------------------------------------------------------

XPCServer::Counts XPCServer::counts() const {
  Counts counts;
  {
    std::lock_guard lock(listenerLock);
    counts.listening = xpcListener != nullptr;
  }
  {
    std::lock_guard lock(mainAppLock);
    counts.mainAppConnected = mainAppClient != nullptr;
    counts.requestsAwaitingMainApp = requestsAwaitingMainApp.size();
  }
  {
    std::lock_guard lock(extensionClientsLock);
    counts.extensions = extensionClients.size();
  }
  {
    std::lock_guard lock(pendingRequestsLock);
    counts.pendingRequests = pendingRequests.size();
  }
  return counts;
}

}  // namespace tessaly::broker
