#include <trel/kfunctionstats.h>

KFunctionStats::KFunctionStats()
    : line(0), calls(0), exclusiveElapsed(0), inclusiveElapsed(0), clientData(nullptr) {}

KFunctionStats::KFunctionStats(const KFunctionStats& other) = default;

KFunctionStats& KFunctionStats::operator=(const KFunctionStats& other) = default;

KFunctionStats::~KFunctionStats() = default;

void KFunctionStats::incrementCalls() { ++calls; }

namespace {
long long wrappingAdd(long long a, long long b) {
    return static_cast<long long>(static_cast<unsigned long long>(a) +
                                  static_cast<unsigned long long>(b));
}
} // namespace

void KFunctionStats::updateTimers(long long exclusive, long long inclusive) {
    exclusiveElapsed = wrappingAdd(exclusiveElapsed, exclusive);
    inclusiveElapsed = wrappingAdd(inclusiveElapsed, inclusive);
}

void KFunctionStats::aggregate(const KFunctionStats& other) {
    calls = static_cast<int>(static_cast<unsigned>(calls) + static_cast<unsigned>(other.calls));
    exclusiveElapsed = wrappingAdd(exclusiveElapsed, other.exclusiveElapsed);
    inclusiveElapsed = wrappingAdd(inclusiveElapsed, other.inclusiveElapsed);
}

QByteArray KFunctionStats::getFullName() const {
    QByteArray name;
    name.reserve(functionName.size() + functionScope.size() + 2);
    name.append(functionScope);
    name.append("::");
    name.append(functionName);
    return name;
}
