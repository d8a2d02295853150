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
  std::shared_ptr<Job> start(std::function<void()> work) {
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    {
      std::lock_guard lock(mutex_);
      if (idle_ <= static_cast<int>(queue_.size())) {
        if (threads_ >= kMaxDeadlineThreads) return nullptr;  // every helper is busy or stuck
        ++threads_;
        std::thread([this] { serve(); }).detach();
      }
      queue_.push_back(job);
    }
    wake_.notify_one();
    return job;
  }

  bool wait(Job& job, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(job.mutex);
    if (job.finished.wait_until(lock, deadline, [&] { return job.done; })) return true;
    if (!job.abandoned) {
      job.abandoned = true;
      std::lock_guard runnerLock(mutex_);
      ++stuck_;
    }
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

class Ticket final : public DeadlineTicket {
 public:
  Ticket(std::shared_ptr<Job> job, std::chrono::steady_clock::time_point deadline)
      : job_(std::move(job)), deadline_(deadline) {}
  bool wait() override { return runner().wait(*job_, deadline_); }

 private:
  std::shared_ptr<Job> job_;
  std::chrono::steady_clock::time_point deadline_;
};

}  // namespace

std::unique_ptr<DeadlineTicket> startWithDeadline(std::function<void()> work, std::chrono::milliseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  std::shared_ptr<Job> job = runner().start(std::move(work));
  if (!job) return nullptr;
  return std::make_unique<Ticket>(std::move(job), deadline);
}

bool runWithDeadline(std::function<void()> work, std::chrono::milliseconds budget) {
  std::unique_ptr<DeadlineTicket> ticket = startWithDeadline(std::move(work), budget);
  return ticket && ticket->wait();
}

DeadlineRunnerLoad deadlineRunnerLoad() { return runner().load(); }

}  // namespace tessaly::codesign::detail
