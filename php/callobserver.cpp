#include "callobserver.h"

#include "functionobserver.h"
#include "iocapture.h"
#include "php_trel.h"
#include "sqlcapture.h"

extern "C" {
#include "Zend/zend_observer.h"
}

#include <unordered_map>

namespace {

// What the SQL and I/O capture answered for an internal function, kept for the worker's
// life: the engine asks again on every request, and the answer depends on the
// function's scope and name only. The name and scope are checked on each hit, so that
// a function at an address where another one lived answers afresh.
struct Decision {
    const zend_string* name;
    const zend_class_entry* scope;
    zend_observer_fcall_handlers handlers;
};

std::unordered_map<const zend_function*, Decision> decisions;

// Functions made while a request runs (methods copied into a user class, closures,
// trampolines) go away with it, and their address may be reused: never kept.
bool isPersistent(const zend_function* function) {
    return !(function->common.fn_flags &
             (ZEND_ACC_ARENA_ALLOCATED | ZEND_ACC_CLOSURE | ZEND_ACC_CALL_VIA_TRAMPOLINE));
}

zend_observer_fcall_handlers decide(zend_execute_data* call) {
    const zend_function* function = call->func;
    const auto found = decisions.find(function);
    if (found != decisions.end() && found->second.name == function->common.function_name &&
        found->second.scope == function->common.scope)
        return found->second.handlers;
    zend_observer_fcall_handlers handlers = SqlCapture::handlersFor(call);
    if (!handlers.begin && !handlers.end)
        handlers = IoCapture::handlersFor(call);
    if (isPersistent(function))
        decisions[function] =
            Decision{function->common.function_name, function->common.scope, handlers};
    return handlers;
}

zend_observer_fcall_handlers internalHandlers(zend_execute_data* call) {
    try {
        return decide(call);
    } catch (...) {
        // Out of memory while deciding: this function goes unobserved in this request.
        return {nullptr, nullptr};
    }
}

zend_observer_fcall_handlers onInit(zend_execute_data* call) {
    if (!TREL_G(collecting))
        return {nullptr, nullptr};
    if (call->func->type == ZEND_USER_FUNCTION)
        return FunctionObserver::handlersFor(call);
    return internalHandlers(call);
}

} // namespace

void CallObserver::registerObserver() {
    zend_observer_fcall_register(onInit);
}
