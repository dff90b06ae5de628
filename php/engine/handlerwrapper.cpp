#include "handlerwrapper.h"

#include <array>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// One watched function or method: its handler before wrapping and what runs around it.
struct Slot {
    zif_handler original = nullptr;
    HandlerWrapper::Around around = nullptr;
    int tag = 0;
};

// Each slot has a wrapper function of its own, so that the wrapper finds its original
// handler without a look-up.
const size_t SlotCount = 192;
Slot slots[SlotCount];
size_t usedSlots = 0;

template <size_t I> void ZEND_FASTCALL wrapper(INTERNAL_FUNCTION_PARAMETERS) {
    const Slot& slot = slots[I];
    if (EXPECTED(!TREL_G(collecting))) {
        slot.original(INTERNAL_FUNCTION_PARAM_PASSTHRU);
        return;
    }
    slot.around(slot.tag, slot.original, execute_data, return_value);
}

template <size_t... I>
constexpr std::array<zif_handler, sizeof...(I)> makeWrappers(std::index_sequence<I...>) {
    return {{&wrapper<I>...}};
}

const std::array<zif_handler, SlotCount> wrappers =
    makeWrappers(std::make_index_sequence<SlotCount>());

// Lower-case "class::method" or "function" to its slot.
std::unordered_map<std::string, size_t>& watched() {
    static std::unordered_map<std::string, size_t> names;
    return names;
}

// What was replaced, to be put back.
std::vector<std::pair<zend_internal_function*, zif_handler>> replaced;

zend_result (*nextPostStartup)() = nullptr;

// As the engine lowers the names of its function tables.
std::string lower(const char* text, size_t length) {
    std::string out(text, length);
    zend_str_tolower(&out[0], length);
    return out;
}

void watch(std::string key, HandlerWrapper::Around around, int tag) {
    if (usedSlots == SlotCount || watched().count(key))
        return;
    slots[usedSlots].around = around;
    slots[usedSlots].tag = tag;
    watched()[std::move(key)] = usedSlots++;
}

void wrap(zend_function* function, const std::string& key) {
    if (function->type != ZEND_INTERNAL_FUNCTION)
        return;
    const auto found = watched().find(key);
    if (found == watched().end())
        return;
    Slot& slot = slots[found->second];
    zif_handler& handler = function->internal_function.handler;
    if (handler == wrappers[found->second])
        return;
    if (!slot.original)
        slot.original = handler;
    // A copy whose handler is not the declaring class's (replaced by another module) is
    // left alone: the wrapper would call the wrong code.
    if (handler != slot.original)
        return;
    replaced.emplace_back(&function->internal_function, handler);
    handler = wrappers[found->second];
}

void install() {
    zval* entry;
    ZEND_HASH_FOREACH_VAL(CG(function_table), entry) {
        zend_function* function = static_cast<zend_function*>(Z_PTR_P(entry));
        if (function->type == ZEND_INTERNAL_FUNCTION && function->common.function_name &&
            !function->common.scope)
            wrap(function, lower(ZSTR_VAL(function->common.function_name),
                                 ZSTR_LEN(function->common.function_name)));
    }
    ZEND_HASH_FOREACH_END();
    zval* classEntry;
    ZEND_HASH_FOREACH_VAL(CG(class_table), classEntry) {
        zend_class_entry* ce = static_cast<zend_class_entry*>(Z_PTR_P(classEntry));
        if (ce->type != ZEND_INTERNAL_CLASS)
            continue;
        ZEND_HASH_FOREACH_VAL(&ce->function_table, entry) {
            zend_function* function = static_cast<zend_function*>(Z_PTR_P(entry));
            const zend_class_entry* scope = function->common.scope;
            if (function->type != ZEND_INTERNAL_FUNCTION || !scope ||
                !function->common.function_name)
                continue;
            wrap(function, lower(ZSTR_VAL(scope->name), ZSTR_LEN(scope->name)) + "::" +
                               lower(ZSTR_VAL(function->common.function_name),
                                     ZSTR_LEN(function->common.function_name)));
        }
        ZEND_HASH_FOREACH_END();
    }
    ZEND_HASH_FOREACH_END();
}

zend_result postStartup() {
    // Ours before the next: OPcache's own callback compiles the preloaded scripts.
    install();
    if (zend_result(*next)() = nextPostStartup) {
        nextPostStartup = nullptr;
        return next();
    }
    return SUCCESS;
}

} // namespace

void HandlerWrapper::watchFunction(const char* name, Around around, int tag) {
    watch(lower(name, strlen(name)), around, tag);
}

void HandlerWrapper::watchMethod(const char* cls, const char* method, Around around, int tag) {
    watch(lower(cls, strlen(cls)) + "::" + lower(method, strlen(method)), around, tag);
}

void HandlerWrapper::installAfterStartup() {
    nextPostStartup = zend_post_startup_cb;
    zend_post_startup_cb = postStartup;
}

void HandlerWrapper::restore() {
    for (auto& entry : replaced)
        entry.first->handler = entry.second;
    replaced.clear();
    for (Slot& slot : slots)
        slot.original = nullptr;
}

int HandlerWrapper::wrappedCount() {
    return int(replaced.size());
}
