// The process-wide event loops on which every listener and connection runs.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace tessaly::xpc::detail {

using Strand = asio::strand<asio::io_context::executor_type>;

// Which end a connection is. Each end is spread over the loops on its own, so that the connections a
// process serves are balanced however many connections it also makes, and the other way round.
enum class LoopRole : std::size_t { client = 0, service = 1 };

// One event loop: an io_context served by one thread of its own.
class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& context() noexcept { return context_; }
  // Stops the loop and joins its thread; pending handlers are kept. Safe to call more than once.
  void stop();
  std::atomic<int>& load(LoopRole role) noexcept { return load_[static_cast<std::size_t>(role)]; }

 private:
  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<int> load_[2] = {0, 0};
  std::thread thread_;
};

// A connection's claim on its loop for as long as it lives; the loop with the fewest claims gets the next.
class LoopLease {
 public:
  LoopLease() noexcept = default;
  LoopLease(EventLoop& loop, LoopRole role) noexcept : loop_(&loop), role_(role) { loop_->load(role_).fetch_add(1); }
  LoopLease(LoopLease&& other) noexcept : loop_(std::exchange(other.loop_, nullptr)), role_(other.role_) {}
  LoopLease& operator=(LoopLease&& other) noexcept {
    if (this != &other) {
      release();
      loop_ = std::exchange(other.loop_, nullptr);
      role_ = other.role_;
    }
    return *this;
  }
  LoopLease(const LoopLease&) = delete;
  LoopLease& operator=(const LoopLease&) = delete;
  ~LoopLease() { release(); }

  asio::io_context& context() const noexcept { return loop_->context(); }

 private:
  void release() noexcept {
    if (loop_ != nullptr) loop_->load(role_).fetch_sub(1);
    loop_ = nullptr;
  }
  EventLoop* loop_ = nullptr;
  LoopRole role_ = LoopRole::client;
};

// A few single-threaded event loops. Each connection is bound to one loop for its life and runs there
// serially; connections on different loops run at the same time. Listeners have a loop of their own, so
// that a delegate that takes its time (verifying a peer's code signature) never holds up message traffic.
//
// One thread per loop, rather than one pool serving a shared queue, spares every message the hand-over
// between the thread that waits for events and the thread that runs them.
class Runtime {
 public:
  // Created on first use and never destroyed. At exit its threads are stopped and joined, and the loops are
  // left as they are: a handler pending on one loop may own the socket of a connection on another, so no
  // loop could be torn down before the others.
  static Runtime& shared();

  explicit Runtime(unsigned connectionLoops);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The loop with the fewest live connections of `role`.
  LoopLease leaseConnectionLoop(LoopRole role);
  void stop();
  asio::io_context& listenerContext() noexcept { return listenerLoop_.context(); }

 private:
  EventLoop listenerLoop_;
  std::vector<std::unique_ptr<EventLoop>> connectionLoops_;
};

}  // namespace tessaly::xpc::detail
