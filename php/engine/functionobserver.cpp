#include "functionobserver.h"

#include "collector/collectorhost.h"
#include "engine/requestclock.h"
#include "php_trel.h"

#include <trel/ktrel.h>

extern "C" {
#include "zend_observer.h"
}

#include <QByteArray>

#include <algorithm>
#include <ctime>
#include <deque>
#include <functional>
#include <unordered_map>
#include <vector>

namespace {

// A function is its code and its scope: closures share the code of their declaration,
// and a trait's method is one code in several classes.
struct FunctionKey {
    const zend_op* code;
    const zend_class_entry* scope;
    bool operator==(const FunctionKey& other) const {
        return code == other.code && scope == other.scope;
    }
};

struct FunctionKeyHash {
    size_t operator()(const FunctionKey& key) const {
        return std::hash<const void*>()(key.code) * 31 + std::hash<const void*>()(key.scope);
    }
};

// The names are held (not borrowed from the function) because a closure's function
// goes away with the closure, before the request ends.
struct Totals {
    zend_string* scope = nullptr;
    zend_string* name = nullptr;
    zend_string* file = nullptr;
    uint32_t line = 0;
    qint64 calls = 0;
    qint64 exclusiveNs = 0;
    qint64 inclusiveNs = 0;
    // Calls of this function open on the stack: a recursion adds its inclusive time once.
    int active = 0;
};

struct Frame {
    const zend_execute_data* call;
    Totals* totals;
    qint64 startNs;
    qint64 childrenNs;
};

// The costliest single calls so far, a heap with the cheapest on top.
struct SpanCandidate {
    Totals* totals;
    qint64 startNs;
    qint64 elapsedNs;
    bool operator<(const SpanCandidate& other) const { return elapsedNs > other.elapsedNs; }
};
std::vector<SpanCandidate> spans;

bool counting = false;
size_t limit = 0;
// Nodes keep their address across rehashing, so frames may point into the map.
std::unordered_map<FunctionKey, Totals, FunctionKeyHash> totals;
std::vector<Frame> stack;

qint64 nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void finish(const Frame& frame, qint64 endNs) {
    const qint64 elapsed = endNs - frame.startNs;
    Totals* entry = frame.totals;
    entry->calls += 1;
    entry->exclusiveNs += elapsed - frame.childrenNs;
    if (--entry->active == 0)
        entry->inclusiveNs += elapsed;
    if (!stack.empty())
        stack.back().childrenNs += elapsed;
    if (spans.size() < static_cast<size_t>(KTrel::MaxSpans)) {
        spans.push_back({entry, frame.startNs, elapsed});
        std::push_heap(spans.begin(), spans.end());
    } else if (elapsed > spans.front().elapsedNs) {
        std::pop_heap(spans.begin(), spans.end());
        spans.back() = {entry, frame.startNs, elapsed};
        std::push_heap(spans.begin(), spans.end());
    }
}

void onBegin(zend_execute_data* call) {
    if (!counting)
        return;
    const zend_function* function = call->func;
    Totals& entry = totals[FunctionKey{function->op_array.opcodes, function->common.scope}];
    if (!entry.name) {
        entry.scope =
            function->common.scope ? zend_string_copy(function->common.scope->name) : nullptr;
        entry.name = zend_string_copy(function->common.function_name);
        entry.file =
            function->op_array.filename ? zend_string_copy(function->op_array.filename) : nullptr;
        entry.line = function->op_array.line_start;
    }
    entry.active += 1;
    stack.push_back(Frame{call, &entry, nowNs(), 0});
}

void onEnd(zend_execute_data* call, zval*) {
    if (!counting || stack.empty())
        return;
    const qint64 endNs = nowNs();
    // Frames above the ending one were left without an end (a fiber switched away, a
    // bailout): they end here too.
    size_t index = stack.size();
    while (index > 0 && stack[index - 1].call != call)
        --index;
    if (index == 0)
        return;
    while (stack.size() >= index) {
        const Frame frame = stack.back();
        stack.pop_back();
        finish(frame, endNs);
    }
}

QByteArray bytesOf(const zend_string* text) {
    return text ? QByteArray(ZSTR_VAL(text), static_cast<int>(ZSTR_LEN(text))) : QByteArray();
}

// The collector's table needs a key of its own per entry and never reads it. The keys
// borrow the bytes of ordinals kept for the process's life (a deque's elements stay
// where they are as it grows) instead of allocating one per function.
std::deque<quintptr> ordinals;

QByteArray keyFor(size_t ordinal) {
    while (ordinals.size() <= ordinal)
        ordinals.push_back(ordinals.size());
    return QByteArray::fromRawData(reinterpret_cast<const char*>(&ordinals[ordinal]),
                                   sizeof(quintptr));
}

void forget() {
    for (auto& item : totals) {
        Totals& entry = item.second;
        for (zend_string* text : {entry.scope, entry.name, entry.file}) {
            if (text)
                zend_string_release(text);
        }
    }
    totals.clear();
    std::vector<Frame>().swap(stack);
    spans.clear();
}

} // namespace

zend_observer_fcall_handlers FunctionObserver::handlersFor(zend_execute_data* call) {
    const zend_function* function = call->func;
    // Top-level code of a file has no name; it is not a function.
    if (!counting || !function || function->type != ZEND_USER_FUNCTION ||
        !function->common.function_name)
        return {nullptr, nullptr};
    return {onBegin, onEnd};
}

void FunctionObserver::startRequest(bool enabled, zend_long functionLimit) {
    // endRequest() emptied both; the strings of an earlier request are not ours to free.
    totals.clear();
    stack.clear();
    spans.clear();
    counting = enabled;
    limit = functionLimit > 0 ? static_cast<size_t>(functionLimit) : 0;
}

void FunctionObserver::endRequest(KTrel* trel) {
    if (!counting) {
        forget();
        return;
    }
    const qint64 endNs = nowNs();
    while (!stack.empty()) {
        const Frame frame = stack.back();
        stack.pop_back();
        finish(frame, endNs);
    }
    counting = false;
    CollectorHost::guard("function statistics", [trel] {
        QHash<QByteArray, KFunctionStats>& table = trel->getFunctionsStats();
        table.reserve(table.size() + static_cast<qsizetype>(totals.size()));
        // Methods share their class's name and functions their file: one copy each.
        std::unordered_map<const zend_string*, QByteArray> shared;
        const auto sharedBytes = [&shared](const zend_string* text) {
            if (!text)
                return QByteArray();
            auto found = shared.find(text);
            if (found == shared.end())
                found = shared.emplace(text, bytesOf(text)).first;
            return found->second;
        };
        std::vector<const Totals*> kept;
        kept.reserve(totals.size());
        for (const auto& item : totals)
            kept.push_back(&item.second);
        Totals others;
        qint64 otherCount = 0;
        if (limit > 0 && kept.size() > limit) {
            const auto byOwnTime = [](const Totals* a, const Totals* b) {
                return a->exclusiveNs > b->exclusiveNs;
            };
            std::nth_element(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(limit), kept.end(),
                             byOwnTime);
            for (size_t i = limit; i < kept.size(); ++i) {
                others.calls += kept[i]->calls;
                others.exclusiveNs += kept[i]->exclusiveNs;
            }
            otherCount = static_cast<qint64>(kept.size() - limit);
            kept.resize(limit);
        }
        size_t ordinal = 0;
        for (const Totals* entry : kept) {
            KFunctionStats& stats = table[keyFor(ordinal++)];
            stats.setFunctionScope(sharedBytes(entry->scope));
            stats.setFunctionName(bytesOf(entry->name));
            stats.setFilename(sharedBytes(entry->file));
            stats.setLine(static_cast<int>(entry->line));
            stats.setCalls(static_cast<int>(entry->calls));
            stats.updateTimers(entry->exclusiveNs / 1000, entry->inclusiveNs / 1000);
        }
        std::sort_heap(spans.begin(), spans.end());
        QList<KTrel::Span>& longest = trel->getContext().spans;
        for (const SpanCandidate& span : spans) {
            const Totals* entry = span.totals;
            QByteArray name = bytesOf(entry->name);
            if (entry->scope)
                name = bytesOf(entry->scope) + "::" + name;
            longest.append(KTrel::Span{QString::fromUtf8(name),
                                       RequestClock::offset(span.startNs / 1000),
                                       span.elapsedNs / 1000});
        }
        if (otherCount > 0) {
            KFunctionStats& stats = table[keyFor(ordinal++)];
            stats.setFunctionName(QByteArrayLiteral("(") + QByteArray::number(otherCount) +
                                  QByteArrayLiteral(" other functions)"));
            stats.setCalls(static_cast<int>(others.calls));
            stats.updateTimers(others.exclusiveNs / 1000, others.exclusiveNs / 1000);
        }
    });
    forget();
}
