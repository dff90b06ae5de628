#!/bin/sh
# The shared library exports the host's interface and nothing else: the host's classes
# and the stored-request reader with its views (with their nested types, typeinfo and
# vtables) and the two C functions.
#   TREL_BUILD_DIR=... sh tests/core/exports_check.sh
set -eu

: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"
lib=$TREL_BUILD_DIR/src/libtrel.so
[ -f "$lib" ] || { echo "exports_check: $lib not built" >&2; exit 1; }

classes='KTrel|KTrelDisabler|KFunctionStats|IBacktraceGenerator|KDbConnHelper|KTrelBacktrace|KTrelFuncStatsDbRecord|KTrelEventRecord|KTrelToken|KTrelStoredRequest|KTrelHtmlReport|KTrelRequestJson|KTrelFormat'
functions='KolvIsTrelCollectionEnabled|KolvEnableTrelCollection'

raw=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }')
demangled=$(printf '%s\n' "$raw" | c++filt)

status=0
outside=$(printf '%s\n' "$demangled" | grep -Ev \
    -e "^($classes)::" \
    -e "^(typeinfo|typeinfo name|vtable|VTT|construction vtable) for ($classes)(::[A-Za-z_][A-Za-z0-9_]*)*\$" \
    -e "^((non-)?virtual )?thunk to ($classes)::" \
    -e "^($functions)\$" || true)
if [ -n "$outside" ]; then
    echo "exports_check: symbols outside the host's interface:" >&2
    printf '%s\n' "$outside" | sed 's/^/  /' >&2
    status=1
fi

# What the host needs must be there, the C functions without C++ decoration.
for name in KolvIsTrelCollectionEnabled KolvEnableTrelCollection; do
    printf '%s\n' "$raw" | grep -qx "$name" ||
        { echo "exports_check: C function $name is not exported" >&2; status=1; }
done
for polymorphic in KTrel IBacktraceGenerator KFunctionStats KDbConnHelper KTrelBacktrace \
    KTrelFuncStatsDbRecord KTrelEventRecord; do
    for kind in "typeinfo for" "vtable for"; do
        printf '%s\n' "$demangled" | grep -qx "$kind $polymorphic" ||
            { echo "exports_check: $kind $polymorphic is not exported" >&2; status=1; }
    done
done
for member in 'KTrel::instance()' 'KTrel::release()' 'KTrel::write()' \
    'KTrelDisabler::KTrelDisabler()' 'KTrelToken::KTrelToken()'; do
    printf '%s\n' "$demangled" | grep -qxF "$member" ||
        { echo "exports_check: $member is not exported" >&2; status=1; }
done

[ "$status" = 0 ] && echo "exports_check: $(printf '%s\n' "$raw" | wc -l) symbols, all of the host's interface"
exit "$status"
