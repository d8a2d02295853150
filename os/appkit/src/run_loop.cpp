#include "tessaly/appkit/run_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "tessaly/appkit/operation_queue.h"

namespace tessaly::appkit {

struct NSRunLoop::State {
  int epoll = -1;
  int wake = -1;  // eventfd: written when an operation is queued or stop() is called

  std::mutex mutex;
  std::deque<std::function<void()>> operations;
  std::unordered_map<int, std::shared_ptr<std::function<void()>>> sources;
  std::atomic<bool> stopRequested{false};

  void signalWake() const {
    const std::uint64_t one = 1;
    while (::write(wake, &one, sizeof one) < 0 && errno == EINTR) {}
  }

  void drainWake() const {
    std::uint64_t count = 0;
    while (::read(wake, &count, sizeof count) < 0 && errno == EINTR) {}
  }

  std::function<void()> nextOperation() {
    std::lock_guard lock(mutex);
    if (operations.empty()) return nullptr;
    std::function<void()> operation = std::move(operations.front());
    operations.pop_front();
    return operation;
  }

  std::shared_ptr<std::function<void()>> source(int fd) {
    std::lock_guard lock(mutex);
    const auto found = sources.find(fd);
    return found == sources.end() ? nullptr : found->second;
  }
};

bool NSThread::isMainThread() noexcept { return ::syscall(SYS_gettid) == ::getpid(); }

NSRunLoop& NSRunLoop::mainRunLoop() {
  static NSRunLoop* const runLoop = new NSRunLoop();
  return *runLoop;
}

NSRunLoop::NSRunLoop() : state_(new State) {
  state_->epoll = ::epoll_create1(EPOLL_CLOEXEC);
  state_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->epoll < 0 || state_->wake < 0) throw std::system_error(errno, std::generic_category(), "main run loop");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = state_->wake;
  ::epoll_ctl(state_->epoll, EPOLL_CTL_ADD, state_->wake, &event);
}

void NSRunLoop::run() {
  while (!runUntilDate(Clock::time_point::max())) {}
}

bool NSRunLoop::runUntilDate(Clock::time_point limit) {
  if (!NSThread::isMainThread()) throw std::logic_error("the main run loop runs only on the main thread");
  State& state = *state_;
  constexpr int kMaxEvents = 16;
  epoll_event events[kMaxEvents];
  for (;;) {
    while (std::function<void()> operation = state.nextOperation()) {
      operation();
      if (state.stopRequested.load()) break;
    }
    if (state.stopRequested.exchange(false)) return true;

    int timeout = -1;
    if (limit != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<long long>(left + 1, 60'000));
    }
    const int ready = ::epoll_wait(state.epoll, events, kMaxEvents, timeout);
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "main run loop");
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == state.wake) {
        state.drainWake();
      } else if (std::shared_ptr<std::function<void()>> callback = state.source(fd)) {
        (*callback)();
      }
    }
  }
}

void NSRunLoop::stop() {
  state_->stopRequested.store(true);
  state_->signalWake();
}

void NSRunLoop::addReadSource(int fd, std::function<void()> onReadable) {
  std::lock_guard lock(state_->mutex);
  const bool known = state_->sources.contains(fd);
  state_->sources[fd] = std::make_shared<std::function<void()>>(std::move(onReadable));
  if (!known) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(state_->epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
      state_->sources.erase(fd);
      throw std::system_error(errno, std::generic_category(), "run loop source");
    }
  }
}

void NSRunLoop::removeReadSource(int fd) {
  std::lock_guard lock(state_->mutex);
  if (state_->sources.erase(fd) != 0) ::epoll_ctl(state_->epoll, EPOLL_CTL_DEL, fd, nullptr);
}

void NSRunLoop::perform(std::function<void()> operation) {
  {
    std::lock_guard lock(state_->mutex);
    state_->operations.push_back(std::move(operation));
  }
  state_->signalWake();
}

NSOperationQueue* NSOperationQueue::mainQueue() {
  static NSOperationQueue* const queue = new NSOperationQueue();
  return queue;
}

void NSOperationQueue::addOperationWithBlock(std::function<void()> block) {
  NSRunLoop::mainRunLoop().perform(std::move(block));
}

}  // namespace tessaly::appkit
