/* The floor of the overhead benchmark: a PHP extension that registers one function-call
 * observer and observes no function (its answer carries no handlers). What it costs a
 * request is what PHP's observer machinery costs by itself, whatever an observer does:
 * the least any extension that observes calls can cost. */

#include "php.h"
#include "zend_observer.h"

static zend_observer_fcall_handlers observe_nothing(zend_execute_data* execute_data) {
    (void)execute_data;
    zend_observer_fcall_handlers none = {NULL, NULL};
    return none;
}

/* Observers are registered before the engine starts, as the module starts. */
static PHP_MINIT_FUNCTION(observer_floor) {
    (void)type;
    (void)module_number;
    zend_observer_fcall_register(observe_nothing);
    return SUCCESS;
}

zend_module_entry observer_floor_module_entry = {STANDARD_MODULE_HEADER,
                                                 "observer_floor",
                                                 NULL,
                                                 PHP_MINIT(observer_floor),
                                                 NULL,
                                                 NULL,
                                                 NULL,
                                                 NULL,
                                                 "1.0",
                                                 STANDARD_MODULE_PROPERTIES};

ZEND_GET_MODULE(observer_floor)
