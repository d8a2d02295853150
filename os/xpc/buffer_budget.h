// The process-wide budget for bytes that connections hold in buffers, and the accounts they hold them on.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <unordered_set>

namespace tessaly::xpc::detail {

// What one connection holds against the budget: bytes waiting toward its peer and incomplete frames from it.
class BudgetAccount {
 public:
  // Called when this account is the largest one while the budget is exceeded. It runs under the budget's lock,
  // so it may only hand the work on (post the invalidation to the connection's queue).
  using OverBudget = std::function<void(std::size_t total, std::size_t budget)>;

  explicit BudgetAccount(OverBudget overBudget);
  ~BudgetAccount();
  BudgetAccount(const BudgetAccount&) = delete;
  BudgetAccount& operator=(const BudgetAccount&) = delete;

  void charge(std::size_t bytes) noexcept;
  void release(std::size_t bytes) noexcept;
  std::size_t held() const noexcept { return held_.load(std::memory_order_relaxed); }
  // Gives back what the account holds and leaves the budget. Its owner calls it first thing in its destructor,
  // so that overBudget is never called on a half-destroyed owner. Safe to call twice.
  void close() noexcept;

 private:
  friend class BufferBudget;
  const OverBudget overBudget_;
  std::atomic<std::size_t> held_{0};
  bool condemned_ = false;  // under the budget's lock: chosen to be dropped already
  bool open_ = true;        // under the budget's lock
};

// Every open account, their total and the budget. When a charge takes the total over the budget, the largest
// accounts are dropped until what is left fits: the peers that hold the most go, the others are untouched.
// When the total falls back after a high mark, freed heap memory is returned to the system (malloc_trim).
class BufferBudget {
 public:
  static BufferBudget& shared();

  std::size_t budget() const noexcept { return budget_.load(std::memory_order_relaxed); }
  void setBudget(std::size_t bytes) noexcept { budget_.store(bytes, std::memory_order_relaxed); }
  std::size_t total() const noexcept { return total_.load(std::memory_order_relaxed); }

 private:
  friend class BudgetAccount;
  void open(BudgetAccount& account);
  void close(BudgetAccount& account) noexcept;
  void charged(std::size_t total) noexcept;
  void released(std::size_t total) noexcept;

  std::atomic<std::size_t> budget_;
  std::atomic<std::size_t> total_{0};
  std::atomic<std::size_t> highMark_{0};  // highest total since memory was last given back
  std::mutex mutex_;
  std::unordered_set<BudgetAccount*> accounts_;
};

}  // namespace tessaly::xpc::detail
