#include "enginebacktracegenerator.h"

extern "C" {
#include "php.h"
#include "zend_builtin_functions.h"
#include "zend_exceptions.h"
}

QString EngineBacktraceGenerator::generateBacktrace() {
    if (!EG(current_execute_data))
        return QStringLiteral("#0 {main}");
    zval frames;
    // The arguments are shown as PHP shows them in an exception's trace: not at all with
    // zend.exception_ignore_args, cut to zend.exception_string_param_max_len otherwise.
    // One frame more than kept tells whether the stack was cut.
    zend_fetch_debug_backtrace(
        &frames, 0, EG(exception_ignore_args) ? DEBUG_BACKTRACE_IGNORE_ARGS : 0, MaxFrames + 1);
    if (Z_TYPE(frames) != IS_ARRAY) {
        zval_ptr_dtor(&frames);
        return QString();
    }
    HashTable* trace = Z_ARRVAL(frames);
    const bool deep = zend_hash_num_elements(trace) > static_cast<uint32_t>(MaxFrames);
    if (deep)
        zend_hash_index_del(trace, MaxFrames);
    zend_string* text = zend_trace_to_string(trace, !deep);
    QByteArray bytes(ZSTR_VAL(text), static_cast<int>(qMin<size_t>(ZSTR_LEN(text), MaxBytes + 1)));
    zend_string_release(text);
    zval_ptr_dtor(&frames);

    if (bytes.size() > MaxBytes) {
        // Whole lines only, so that no character is split.
        bytes.truncate(MaxBytes);
        const int lastLine = bytes.lastIndexOf('\n');
        bytes.truncate(lastLine < 0 ? 0 : lastLine + 1);
        bytes += "#... {trace cut at " + QByteArray::number(MaxBytes) + " bytes}";
    } else if (deep) {
        bytes += "#" + QByteArray::number(MaxFrames) + " {deeper frames cut}";
    }
    return QString::fromUtf8(bytes);
}

void EngineBacktraceGenerator::getFileAndLine(QString& fileName, int& line) {
    if (!zend_is_executing()) {
        fileName.clear();
        line = 0;
        return;
    }
    fileName = QString::fromUtf8(zend_get_executed_filename());
    line = static_cast<int>(zend_get_executed_lineno());
}
