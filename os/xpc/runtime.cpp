#include "runtime.h"

#include <algorithm>
#include <exception>
#include <string>

#include "xpc_log.h"

namespace tessaly::xpc::detail {

EventLoop::EventLoop() : work_(asio::make_work_guard(context_)) {
  thread_ = std::thread([this] {
    for (;;) {
      try {
        context_.run();
        return;
      } catch (const std::exception& e) {
        // Handlers catch what user code throws; this is the last line of defence for the loop.
        logError("runtime", std::string("uncaught exception on an IPC event loop: ") + e.what());
      } catch (...) { logError("runtime", "uncaught exception on an IPC event loop"); }
    }
  });
}

EventLoop::~EventLoop() { stop(); }

void EventLoop::stop() {
  work_.reset();
  context_.stop();
  if (thread_.joinable()) thread_.join();
}

Runtime& Runtime::shared() {
  // Two to four loops: enough for connections to overlap, few enough for a background agent.
  static Runtime* const runtime = new Runtime(std::clamp(std::thread::hardware_concurrency(), 2u, 4u));
  // The loop threads are stopped and joined during exit, when this guard is destroyed.
  static const struct StopAtExit {
    ~StopAtExit() { runtime->stop(); }
  } stopAtExit;
  return *runtime;
}

void Runtime::stop() {
  listenerLoop_.stop();
  for (const auto& loop : connectionLoops_) loop->stop();
}

Runtime::Runtime(unsigned connectionLoops) {
  connectionLoops_.reserve(connectionLoops);
  for (unsigned i = 0; i < connectionLoops; ++i) connectionLoops_.push_back(std::make_unique<EventLoop>());
}

Runtime::~Runtime() = default;

LoopLease Runtime::leaseConnectionLoop(LoopRole role) {
  EventLoop* least = connectionLoops_.front().get();
  for (const auto& loop : connectionLoops_) {
    if (loop->load(role).load() < least->load(role).load()) least = loop.get();
  }
  return LoopLease(*least, role);
}

}  // namespace tessaly::xpc::detail
