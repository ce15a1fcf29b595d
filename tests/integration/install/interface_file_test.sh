#!/usr/bin/env bash
# interface_file_test.sh BUILD_DIR
# Inside scripts/sandbox with the printer agent: each family's introspection
# file must describe the interface that its running service answers to
# Introspect, method by method, and document every method with an
# org.gtk.GDBus.DocString annotation. Then a client that knows only the file
# calls every method with GLib's gdbus, sending the example request that the
# method's DocString documents, and must get the reply documented beside it.
# The examples' /tmp paths are moved into this test's own folder, so that
# parallel runs never meet.
set -euo pipefail
[ "${PH_SANDBOX:-}" = 1 ] || { echo "run me inside scripts/sandbox" >&2; exit 1; }
[ -n "${PH_AGENT:-}" ] || { echo "run me inside scripts/sandbox --agent (the SNMP example reads the agent)" >&2; exit 1; }
command -v gdbus >/dev/null || { echo "FAIL: no gdbus (package libglib2.0-bin; scripts/deps installs it)" >&2; exit 1; }
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

# The decoded DocString of METHOD in an introspection file, one line a line.
doc_of() {  # doc_of FILE METHOD
  awk -v want="<method name=\"$2\">" '
    { sub(/^[[:space:]]+/, "") }
    $0 == want { inside = 1; next }
    inside && $0 == "</method>" { exit }
    inside && /^<annotation name="org\.gtk\.GDBus\.DocString" value="/ {
      sub(/^<annotation name="org\.gtk\.GDBus\.DocString" value="/, ""); sub(/"\/>$/, ""); print }' "$1" |
    sed -e 's/&#10;/\n/g' -e 's/&#9;/\t/g' -e 's/&lt;/</g' -e 's/&gt;/>/g' -e 's/&quot;/"/g' -e 's/&amp;/\&/g'
}

# A string in GVariant text form, as gdbus takes its arguments.
gvariant_string() { local s=${1//\\/\\\\}; printf "'%s'" "${s//\'/\\\'}"; }

# The one string of a gdbus reply: ('TEXT',) or, when TEXT holds a quote, ("TEXT",).
reply_of() { sed -E -e "s/^\('(.*)',\)$/\1/" -e 's/^\("(.*)",\)$/\1/'; }

methods=(isFilePathWritable_XPC writeDictionaryToPlistFile_XPC sendMagicPacket_XPC sendEchoAndRecvReply_XPC
         pdeSnmpGet_XPC cancelFileWrite_XPC)
families=0
for env in "$build"/families/*/family.env; do
  # shellcheck disable=SC1090
  . "$env"
  families=$((families + 1))
  file=$build/dbus-1/interfaces/$INTERFACE.xml
  [ -f "$file" ] || { fail "$FAMILY: no $file"; continue; }
  methods_of "$INTERFACE" < "$file" > "$work/file" 3> "$work/file-docs"
  # Introspecting the name starts the service, as any call does.
  busctl --user introspect --xml-interface "$SERVICE_NAME" / > "$work/live.xml" 2>"$work/err" ||
    { fail "$FAMILY: Introspect failed: $(cat "$work/err")"; continue; }
  methods_of "$INTERFACE" < "$work/live.xml" > "$work/live" 3> "$work/live-docs"
  [ "$(grep -c '^<method ' "$work/file")" -eq 6 ] ||
    fail "$FAMILY: the file describes $(grep -c '^<method ' "$work/file") methods, not 6"
  [ "$(cat "$work/file-docs")" -eq 6 ] ||
    fail "$FAMILY: the file documents $(cat "$work/file-docs") methods with a DocString, not all 6"
  diff -u "$work/file" "$work/live" > "$work/diff" ||
    fail "$FAMILY: the file differs from what the service answers:
$(cat "$work/diff")"

  dir=$work/$FAMILY
  mkdir -p "$dir"
  # In table order: the SNMP read creates the cancel file that the cancel
  # write after it appends to.
  for method in "${methods[@]}"; do
    doc=$(doc_of "$file" "$method")
    example=$(sed -n 's/^Example: //p' <<<"$doc")
    expected=$(sed -n 's/^answered: //p' <<<"$doc")
    if [ -z "$example" ] || [ -z "$expected" ]; then
      fail "$FAMILY $method: the DocString documents no example and reply: '$doc'"; continue
    fi
    # The documented reply is one of the replies the DocString lists.
    replies=$(sed -n '/^Replies:$/,$p' <<<"$doc" | sed '1d; s/: .*//')
    listed=0
    while read -r form; do
      case $form in
        *=?*) [[ $expected == "${form%=*}="* ]] && listed=1 ;;
        *) [ "$expected" = "$form" ] && listed=1 ;;
      esac
    done <<<"$replies"
    [ $listed -eq 1 ] || fail "$FAMILY $method: the example's reply '$expected' is not among the listed replies: $replies"

    request=${example//\/tmp\//$dir/}
    if out=$(gdbus call --session --dest "$SERVICE_NAME" --object-path / --method "$INTERFACE.$method" \
               "$(gvariant_string "$request")" 2>"$work/err"); then
      reply=$(reply_of <<<"$out")
      if [ "$reply" = "$expected" ]; then
        echo "ok   $FAMILY $method: '$request' answers '$reply'"
      else
        fail "$FAMILY $method: '$request' answered '$out', documented '$expected'"
      fi
    else
      fail "$FAMILY $method: gdbus call failed: $(cat "$work/err")"
    fi
    # The SNMP read creates its cancel file before it sends anything.
    if [ "$method" = pdeSnmpGet_XPC ]; then
      cancel_file=${request#*:cancelFlag:}
      cancel_file=${cancel_file%%:CancelFileName:*}
      [ -f "$cancel_file" ] || fail "$FAMILY: the SNMP read did not create its cancel file $cancel_file"
    fi
  done

  # What the examples did: the probe left nothing behind and the property
  # list holds the text after the tag.
  probe=$(doc_of "$file" isFilePathWritable_XPC | sed -n 's/^Example: //p')
  [ ! -e "${probe//\/tmp\//$dir/}" ] || fail "$FAMILY: the writability probe left ${probe//\/tmp\//$dir/} behind"
  plist=$(doc_of "$file" writeDictionaryToPlistFile_XPC | sed -n 's/^Example: //p')
  plist_file=${plist%%:AddURL:END*}
  plist_file=${plist_file#file://}
  [ "$(cat "${plist_file//\/tmp\//$dir/}" 2>/dev/null)" = "${plist#*:AddURL:END}" ] ||
    fail "$FAMILY: ${plist_file//\/tmp\//$dir/} does not hold the example's text"
done
[ "$families" -gt 0 ] || fail "no family built"
[ $failures -eq 0 ] || exit 1
echo "the introspection files of $families families match their running services, and the documented" \
  "example of every method answers its documented reply through gdbus"
