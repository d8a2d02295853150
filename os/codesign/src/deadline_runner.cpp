#include "deadline_runner.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tessaly::codesign::detail {
namespace {

struct Job {
  std::function<void()> work;
  std::atomic<pid_t> worker{0};  // the helper thread running it, once one does
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
};

// True when the helper thread `worker` (0: none has taken the work yet) is runnable: running, or waiting only
// for a CPU. A thread blocked in the kernel (on a lock, on a file system that does not answer) is not.
bool starvedOfCpu(pid_t worker) {
  if (worker == 0) return true;
  const std::string path = "/proc/self/task/" + std::to_string(worker) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t size = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (size <= 0) return false;
  const std::string_view stat(text, static_cast<std::size_t>(size));
  // "TID (NAME) STATE ...": NAME may hold anything, so the state follows the last ')'.
  const std::size_t close = stat.rfind(')');
  return close != std::string_view::npos && close + 2 < stat.size() && stat[close + 2] == 'R';
}

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

  bool wait(Job& job, std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds budget) {
    const auto last = deadline + (kDeadlineStarvationLimit - 1) * budget;
    std::unique_lock lock(job.mutex);
    for (;;) {
      if (job.finished.wait_until(lock, deadline, [&] { return job.done; })) return true;
      // Work that is still waiting for a CPU, or running on one, is slow because the machine is busy, not held
      // up by the other process: it gets more time, up to a limit. Work asleep in the kernel is given up on.
      if (deadline >= last || !starvedOfCpu(job.worker.load())) break;
      deadline = std::min(deadline + budget, last);
    }
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
      job->worker.store(static_cast<pid_t>(::syscall(SYS_gettid)));
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
  Ticket(std::shared_ptr<Job> job, std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds budget)
      : job_(std::move(job)), deadline_(deadline), budget_(budget) {}
  bool wait() override { return runner().wait(*job_, deadline_, budget_); }

 private:
  std::shared_ptr<Job> job_;
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::milliseconds budget_;
};

}  // namespace

std::unique_ptr<DeadlineTicket> startWithDeadline(std::function<void()> work, std::chrono::milliseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  std::shared_ptr<Job> job = runner().start(std::move(work));
  if (!job) return nullptr;
  return std::make_unique<Ticket>(std::move(job), deadline, budget);
}

bool runWithDeadline(std::function<void()> work, std::chrono::milliseconds budget) {
  std::unique_ptr<DeadlineTicket> ticket = startWithDeadline(std::move(work), budget);
  return ticket && ticket->wait();
}

DeadlineRunnerLoad deadlineRunnerLoad() { return runner().load(); }

}  // namespace tessaly::codesign::detail
