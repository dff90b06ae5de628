/* The arginfo of trel.stub.php, in the form PHP's gen_stub.php gives it (which needs a
 * parser fetched from the network, so it is kept by hand): change both together. */

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_trel_event, 0, 1, _IS_BOOL, 0)
ZEND_ARG_TYPE_INFO(0, key, IS_STRING, 0)
ZEND_END_ARG_INFO()

ZEND_FUNCTION(trel_event);

static const zend_function_entry ext_functions[] = {ZEND_FE(trel_event, arginfo_trel_event)
                                                        ZEND_FE_END};
