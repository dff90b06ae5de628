#ifndef TREL_KWAITBUDGET_H
#define TREL_KWAITBUDGET_H

// The time one operation of the library (a write, a token check, a cache load) may
// spend on a database that does not answer or stays locked, so that a host's request
// is never held without limit. While a budget is open on the thread, the executor
// retries a locked statement only when the pause and one more whole busy wait still
// fit into it, and cures a lost connection only while it is not spent; a statement's
// first attempt always runs. Budgets opened while one is open share the outer one.
// What one attempt may block is bounded elsewhere: by the SQLite busy timeout and by
// the MySQL connect, read and write timeouts.
class KWaitBudget {
public:
    // A budget for the scope of this object.
    KWaitBudget() { enter(); }
    ~KWaitBudget() { leave(); }
    KWaitBudget(const KWaitBudget&) = delete;
    KWaitBudget& operator=(const KWaitBudget&) = delete;

    // Opens a budget of limitMs() on this thread unless one is open.
    static void enter();
    // Ends what enter() opened; the outermost call closes the budget.
    static void leave();

    // True when no budget is open, or when `milliseconds` from now still fall within it.
    static bool allows(int milliseconds);

    static const int DefaultLimitMs = 10000;
    // The length of budgets opened from now on; tests and benchmarks shorten it.
    static void setLimitMs(int milliseconds);
    static int limitMs();
};

#endif
