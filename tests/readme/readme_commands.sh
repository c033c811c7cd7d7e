#!/usr/bin/env bash
# Runs the README's command lines as it prints them: the code of "Trying it without a board",
# then every example of the Commands table in the folder it made, then the code of "Using the
# library from a program". Every line must succeed. The tree they run in is WORK/tree: the
# source tree's tools/, tests/ and examples/, the build folder as build/ and a fresh
# installation as stage/, where tools/run.sh leaves one.
set -euo pipefail
src=$1 build=$2 work=$3
readme=$src/README.md
fail() { echo "FAIL: $*"; exit 1; }

# section TITLE: the README's lines from the heading "## TITLE" to the next heading (a
# subsection, such as the Windows build's "### Under Wine", is not run here).
section() {
  awk -v title="## $1" '$0 == title { on = 1; next } /^##+ / { on = 0 } on' "$readme"
}
# The lines of a section's fenced shell blocks (```sh ... ```), as a reader copies them.
code() { section "$1" | awk '/^```/ { on = ($0 == "```sh"); next } on'; }

# A reader copies blocks from the raw file too, where an indented block keeps its indent (a
# heredoc's end then never matches): every code block is fenced.
indented=$(awk '/^```/ { fenced = !fenced; prev = "x"; next }
                !fenced && prev == "" && /^    / { print NR } { prev = $0 }' "$readme")
[ -z "$indented" ] || fail "README line(s) $indented: an indented code block, not a fenced one"

walkthrough=$(code "Trying it without a board")
library=$(code "Using the library from a program")
library_text=$(section "Using the library from a program")
[ -n "$walkthrough" ] || fail "no code in \"Trying it without a board\""
[ -n "$library" ] || fail "no code in \"Using the library from a program\""

# Commands table rows: | `word` | what it does | `example` |; each example runs its own word.
examples=()
while IFS='|' read -r _ word _ example _; do
  word=$(sed 's/^ *`//; s/` *$//' <<<"$word")
  example=$(sed 's/^ *`//; s/` *$//' <<<"$example")
  [[ $example == "xolcli --command $word"* ]] || fail "table row of $word: example \"$example\""
  examples+=("$example")
done < <(section Commands | grep '^| `')
[ ${#examples[@]} -eq 15 ] || fail "the Commands table has ${#examples[@]} examples, not 15"

rm -rf "$work"
mkdir -p "$work/tree" "$work/tmp"
for d in tools tests examples; do ln -s "$src/$d" "$work/tree/$d"; done
ln -s "$build" "$work/tree/build"
cmake --install "$build" --prefix "$work/tree/stage" >/dev/null

# The run-time packages the library section names: one per Boost library each deliverable needs.
for f in lib/libvemoapi.so bin/xolcli; do
  for lib in $(readelf -d "$work/tree/stage/$f" | sed -n 's/.*NEEDED.*\[libboost_\(.*\)\.so\.\(.*\)\]/\1\2/p'); do
    package=libboost-${lib//_/-}
    grep -q "\`$package\`" <<<"$library_text" \
      || fail "the library section does not name $package, which $f needs"
  done
done

script=$work/readme.sh
{
  echo 'set -eE'
  echo 'trap '\''echo "FAIL: README line exited $?: $BASH_COMMAND"'\'' ERR'
  echo "$walkthrough"
  # bed() shows TMPDIR=$PWD: the program it starts must see that, not the bed's own choice.
  cat <<'CHECK'
seen=$(bed sh -c 'printf %s "$TMPDIR"')
[ "$seen" = "$PWD" ] || { echo "FAIL: a program under bed() has TMPDIR=$seen, not $PWD"; exit 1; }
CHECK
  for example in "${examples[@]}"; do printf 'echo %q\n%s\n' "\$ $example" "$example"; done
  echo "$library"
} >"$script"
cd "$work/tree"
env -u LD_PRELOAD -u XOL_SCENARIO -u XOL_TEST_TMP TMPDIR="$work/tmp" bash "$script"
echo "README commands OK"
