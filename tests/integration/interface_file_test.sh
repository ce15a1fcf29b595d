#!/usr/bin/env bash
# interface_file_test.sh BUILD_DIR
# Inside scripts/sandbox: each family's introspection file must describe the
# interface that its running service answers to Introspect, method by method,
# and document every method with an org.gtk.GDBus.DocString annotation.
set -euo pipefail
[ "${PH_SANDBOX:-}" = 1 ] || { echo "run me inside scripts/sandbox" >&2; exit 1; }
build=$1
work=$(mktemp -d /tmp/ph-introspection.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The one interface element of an introspection document as lines to
# compare: each method on a line of its own (its opening tag, then every
# element inside it), sorted, since the bus library lists methods in its own
# order, and every other line inside the interface as it stands. The
# DocString annotations are the file's own documentation, which the live
# interface does not carry; they are counted onto descriptor 3 instead.
methods_of() {  # methods_of INTERFACE < XML 3> DOCSTRING_COUNT
  sed 's/^[[:space:]]*//' | awk -v want="<interface name=\"$1\">" '
    $0 == want { inside = 1; found = 1; next }
    inside && $0 == "</interface>" { inside = 0; next }
    !inside { next }
    /^<annotation name="org\.gtk\.GDBus\.DocString" value="[^"]+"\/>$/ { docs++; next }
    /^<method / { line = $0; method = 1; next }
    method && $0 == "</method>" { print line; line = ""; method = 0; next }
    method { line = line " " $0; next }
    { print "interface: " $0 }
    END { if (!found) print "NO INTERFACE " want; print docs + 0 > "/dev/fd/3" }' | sort
}

families=0
for env in "$build"/families/*/family.env; do
  # shellcheck disable=SC1090
  . "$env"
  families=$((families + 1))
  interface=$SERVICE_NAME.XPC_Protocol${PROTOCOL_UUID//-/_}
  file=$build/dbus-1/interfaces/$interface.xml
  [ -f "$file" ] || { fail "$FAMILY: no $file"; continue; }
  methods_of "$interface" < "$file" > "$work/file" 3> "$work/file-docs"
  # Introspecting the name starts the service, as any call does.
  busctl --user introspect --xml-interface "$SERVICE_NAME" / > "$work/live.xml" 2>"$work/err" ||
    { fail "$FAMILY: Introspect failed: $(cat "$work/err")"; continue; }
  methods_of "$interface" < "$work/live.xml" > "$work/live" 3> "$work/live-docs"
  [ "$(grep -c '^<method ' "$work/file")" -eq 6 ] ||
    fail "$FAMILY: the file describes $(grep -c '^<method ' "$work/file") methods, not 6"
  [ "$(cat "$work/file-docs")" -eq 6 ] ||
    fail "$FAMILY: the file documents $(cat "$work/file-docs") methods with a DocString, not all 6"
  diff -u "$work/file" "$work/live" > "$work/diff" ||
    fail "$FAMILY: the file differs from what the service answers:
$(cat "$work/diff")"
done
[ "$families" -gt 0 ] || fail "no family built"
[ $failures -eq 0 ] || exit 1
echo "the introspection files of $families families match their running services"
