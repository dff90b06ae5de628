#include "random.h"

namespace {

std::seed_seq seedSequence(quint64 seed, quint64 index) {
    return std::seed_seq{static_cast<quint32>(seed), static_cast<quint32>(seed >> 32),
                         static_cast<quint32>(index), static_cast<quint32>(index >> 32)};
}

} // namespace

Random::Random(quint64 seed, quint64 index) {
    std::seed_seq sequence = seedSequence(seed, index);
    m_engine.seed(sequence);
}

quint64 Random::next() {
    return m_engine();
}

int Random::below(int n) {
    return n <= 1 ? 0 : static_cast<int>(next() % static_cast<quint64>(n));
}

qint64 Random::between(qint64 lowest, qint64 highest) {
    if (highest <= lowest)
        return lowest;
    return lowest + static_cast<qint64>(next() % static_cast<quint64>(highest - lowest + 1));
}

double Random::unit() {
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

bool Random::chance(double probability) {
    return unit() < probability;
}

qint64 Random::skewed(qint64 lowest, qint64 highest) {
    const double u = unit();
    return lowest + static_cast<qint64>(static_cast<double>(highest - lowest) * u * u * u);
}

QString Random::hex(int length) {
    static const char digits[] = "0123456789abcdef";
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i)
        text += QLatin1Char(digits[next() & 15]);
    return text;
}
