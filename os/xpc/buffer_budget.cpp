#include "buffer_budget.h"

#include <malloc.h>

#include <algorithm>
#include <vector>

#include "tessaly/xpc/options.h"

namespace tessaly::xpc {

void setBufferBudget(std::size_t bytes) noexcept { detail::BufferBudget::shared().setBudget(bytes); }
std::size_t bufferBudget() noexcept { return detail::BufferBudget::shared().budget(); }
std::size_t bufferedBytes() noexcept { return detail::BufferBudget::shared().total(); }

}  // namespace tessaly::xpc

namespace tessaly::xpc::detail {
namespace {

// Below this high mark the heap is not worth trimming.
constexpr std::size_t kTrimWorthy = std::size_t{8} << 20;

}  // namespace

BudgetAccount::BudgetAccount(OverBudget overBudget) : overBudget_(std::move(overBudget)) {
  BufferBudget::shared().open(*this);
}

BudgetAccount::~BudgetAccount() { close(); }

void BudgetAccount::close() noexcept { BufferBudget::shared().close(*this); }

void BudgetAccount::charge(std::size_t bytes) noexcept {
  if (bytes == 0) return;
  held_.fetch_add(bytes, std::memory_order_relaxed);
  BufferBudget& budget = BufferBudget::shared();
  budget.charged(budget.total_.fetch_add(bytes, std::memory_order_relaxed) + bytes);
}

void BudgetAccount::release(std::size_t bytes) noexcept {
  if (bytes == 0) return;
  held_.fetch_sub(bytes, std::memory_order_relaxed);
  BufferBudget& budget = BufferBudget::shared();
  budget.released(budget.total_.fetch_sub(bytes, std::memory_order_relaxed) - bytes);
}

BufferBudget& BufferBudget::shared() {
  static BufferBudget* const budget = [] {
    auto* made = new BufferBudget();
    made->budget_ = kDefaultBufferBudget;
    return made;
  }();
  return *budget;
}

void BufferBudget::open(BudgetAccount& account) {
  std::lock_guard lock(mutex_);
  accounts_.insert(&account);
}

void BufferBudget::close(BudgetAccount& account) noexcept {
  {
    std::lock_guard lock(mutex_);
    if (!account.open_) return;
    account.open_ = false;
    accounts_.erase(&account);
  }
  account.release(account.held());
}

void BufferBudget::charged(std::size_t total) noexcept {
  std::size_t mark = highMark_.load(std::memory_order_relaxed);
  while (total > mark && !highMark_.compare_exchange_weak(mark, total, std::memory_order_relaxed)) {}
  const std::size_t limit = budget();
  if (total <= limit) return;
  std::lock_guard lock(mutex_);
  // What is left once the accounts already being dropped are gone; drop the largest of the others until it fits.
  std::size_t remaining = 0;
  std::vector<BudgetAccount*> candidates;
  for (BudgetAccount* account : accounts_) {
    if (account->condemned_) continue;
    remaining += account->held();
    candidates.push_back(account);
  }
  while (remaining > limit && !candidates.empty()) {
    auto largest = candidates.begin();
    for (auto it = candidates.begin(); it != candidates.end(); ++it) {
      if ((*it)->held() > (*largest)->held()) largest = it;
    }
    BudgetAccount* victim = *largest;
    candidates.erase(largest);
    if (victim->held() == 0) break;
    victim->condemned_ = true;
    remaining -= std::min(remaining, victim->held());
    if (victim->overBudget_) victim->overBudget_(total, limit);
  }
}

void BufferBudget::released(std::size_t total) noexcept {
  // Once the offenders are gone, give their memory back: freed heap pages otherwise stay with the process.
  std::size_t mark = highMark_.load(std::memory_order_relaxed);
  if (mark < kTrimWorthy || total > mark / 16) return;
  if (!highMark_.compare_exchange_strong(mark, total, std::memory_order_relaxed)) return;
  ::malloc_trim(0);
}

}  // namespace tessaly::xpc::detail
