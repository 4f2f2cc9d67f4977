#!/bin/sh
# ToolMan.sh TOOL VERSION DESCRIPTION OUT: the manual page of a client tool, made from its own
# --help so the two never drift apart, written gzipped to OUT.
set -eu
tool=$1 version=$2 description=$3 out=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The usage lists one form a line, the later ones indented; the page generator takes later
# forms from lines that begin with "or:".
name=$(basename "$tool")
cat >"$work/$name" <<WRAP
#!/bin/sh
"$tool" "\$@" | sed -E 's/^ +($name )/  or:  \\1/'
WRAP
chmod +x "$work/$name"
help2man --no-info --version-string="$version" --name="$description" --section=1 \
  --source="Zarnel Server $version" "$work/$name" >"$work/page"
gzip -9n -c "$work/page" >"$out"
