#include "callobserver.h"

#include "functionobserver.h"
#include "php_trel.h"

extern "C" {
#include "Zend/zend_observer.h"
}

namespace {

zend_observer_fcall_handlers onInit(zend_execute_data* call) {
    if (!TREL_G(collecting) || call->func->type != ZEND_USER_FUNCTION)
        return {nullptr, nullptr};
    return FunctionObserver::handlersFor(call);
}

} // namespace

void CallObserver::registerObserver() {
    zend_observer_fcall_register(onInit);
}
