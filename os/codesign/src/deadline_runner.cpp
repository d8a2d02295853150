#include "deadline_runner.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace tessaly::codesign::detail {
namespace {

struct Job {
  std::function<void()> work;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
};

class DeadlineRunner {
 public:
  bool run(std::function<void()> work, std::chrono::milliseconds budget) {
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    {
      std::lock_guard lock(mutex_);
      if (idle_ <= static_cast<int>(queue_.size())) {
        if (threads_ >= kMaxDeadlineThreads) return false;  // every helper is busy or stuck
        ++threads_;
        std::thread([this] { serve(); }).detach();
      }
      queue_.push_back(job);
    }
    wake_.notify_one();
    std::unique_lock lock(job->mutex);
    if (job->finished.wait_for(lock, budget, [&] { return job->done; })) return true;
    job->abandoned = true;
    std::lock_guard runnerLock(mutex_);
    ++stuck_;
    return false;
  }

  DeadlineRunnerLoad load() {
    std::lock_guard lock(mutex_);
    return DeadlineRunnerLoad{threads_, stuck_};
  }

 private:
  void serve() {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock lock(mutex_);
        ++idle_;
        wake_.wait(lock, [&] { return !queue_.empty(); });
        --idle_;
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job->work();
      job->work = nullptr;
      bool abandoned = false;
      {
        std::lock_guard lock(job->mutex);
        job->done = true;
        abandoned = job->abandoned;
      }
      job->finished.notify_all();
      if (abandoned) {
        std::lock_guard lock(mutex_);
        --stuck_;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  int threads_ = 0;
  int idle_ = 0;
  int stuck_ = 0;
};

DeadlineRunner& runner() {
  static DeadlineRunner* const instance = new DeadlineRunner();  // its threads outlive any static destructor
  return *instance;
}

}  // namespace

bool runWithDeadline(std::function<void()> work, std::chrono::milliseconds budget) {
  return runner().run(std::move(work), budget);
}

DeadlineRunnerLoad deadlineRunnerLoad() { return runner().load(); }

}  // namespace tessaly::codesign::detail
