// The updater-service protocol of the platform library: an IPC interface (os/xpc) that host applications
// implement, and call in one another, across a process boundary.
#pragma once

#include <string_view>

#include "tessaly/xpc/xpc.h"

namespace tessaly::platform {

// One one-way message, runUpdateUsing:, whose one argument is a data object; there is no reply. An object
// of a derived class is exported as it is (setExportedObject with interface()): its invoke() turns each
// checked message into a call of runUpdateUsing.
class TSUpdaterServiceProtocol : public xpc::ExportedObject {
 public:
  // The protocol's runtime name joins the library's name and the protocol's.
  static constexpr std::string_view kName = "tessaly_platform.TSUpdaterServiceProtocol";
  static constexpr std::string_view kRunUpdateUsing = "runUpdateUsing:";

  static const xpc::Interface& interface();

  virtual void runUpdateUsing(const xpc::Data& update) = 0;

  void invoke(xpc::Invocation& invocation) final;
};

// A peer's updater service as seen from this process: each call is an asynchronous send that returns at once
// (the proxy's error handler hears of one that cannot be delivered).
class TSUpdaterServiceProtocolProxy final : public TSUpdaterServiceProtocol {
 public:
  explicit TSUpdaterServiceProtocolProxy(xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}
  void runUpdateUsing(const xpc::Data& update) override;

 private:
  xpc::RemoteProxy proxy_;
};

}  // namespace tessaly::platform
