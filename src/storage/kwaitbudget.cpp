#include "storage/kwaitbudget.h"

#include <atomic>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> limit{KWaitBudget::DefaultLimitMs};

struct Budget {
    int depth = 0;
    Clock::time_point deadline;
};

Budget& current() {
    static thread_local Budget budget;
    return budget;
}

} // namespace

void KWaitBudget::enter() {
    Budget& budget = current();
    if (budget.depth++ == 0)
        budget.deadline = Clock::now() + std::chrono::milliseconds(limit.load());
}

void KWaitBudget::leave() {
    Budget& budget = current();
    if (budget.depth > 0)
        --budget.depth;
}

bool KWaitBudget::allows(int milliseconds) {
    const Budget& budget = current();
    return budget.depth == 0 ||
           Clock::now() + std::chrono::milliseconds(milliseconds) <= budget.deadline;
}

void KWaitBudget::setLimitMs(int milliseconds) {
    limit = milliseconds < 0 ? 0 : milliseconds;
}

int KWaitBudget::limitMs() {
    return limit;
}
