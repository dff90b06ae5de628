#ifndef TREL_TOOL_RANDOM_H
#define TREL_TOOL_RANDOM_H

#include <QList>
#include <QString>

#include <random>

// The simulation's source of chance. Request number i of a run with seed S draws from
// its own generator, seeded with (S, i), so a request is the same whichever worker
// process makes it; only the 64-bit Mersenne Twister's raw output is used, which the
// C++ standard fixes, so a seed gives the same requests on every platform, as long as
// callers draw in statements of their own (the operands of + are evaluated in no fixed
// order).
class Random {
public:
    Random(quint64 seed, quint64 index);

    quint64 next();
    // 0 <= result < n (n > 0).
    int below(int n);
    // lowest <= result <= highest.
    qint64 between(qint64 lowest, qint64 highest);
    // 0 <= result < 1.
    double unit();
    bool chance(double probability);
    // Between lowest and highest, most often near lowest: the spread of durations.
    qint64 skewed(qint64 lowest, qint64 highest);
    // `length` lower-case hexadecimal digits.
    QString hex(int length);

    template <typename T> const T& pick(const QList<T>& items) {
        return items.at(below(items.size()));
    }

private:
    std::mt19937_64 m_engine;
};

#endif
