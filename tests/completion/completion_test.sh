#!/usr/bin/env bash
# The bash completion of kestol and wptool: each command line, completed at
# its end, against the candidates it must offer, each written as the shell
# would quote it (my\ updates.wp is one candidate). $1 is the completion file.
set -u
source "$1"
compopt() { :; }  # only valid inside a real completion
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
mkdir data 'old data'
touch upd.wp 'my updates.wp'
failures=0
passes=0
while IFS='|' read -r line expected; do
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "_${line%% *}"
  offered=
  ((${#COMPREPLY[@]})) && printf -v offered '%q ' "${COMPREPLY[@]}"
  offered=${offered% }
  if [[ $offered != "$expected" ]]; then
    echo "'$line': offered '$offered', expected '$expected'"
    failures=$((failures + 1))
  else
    passes=$((passes + 1))
  fi
done <<'CASES'
kestol |40
kestol -|-h --help --version --recover -q --quiet --keep= --max-drop= --restore=
kestol --ma|--max-drop=
kestol --keep=2 |40
kestol /|/H /NOC
kestol 40 /n|/NOC
kestol 40 |90
kestol 40 90 u|upd.wp
kestol 40 90 upd.wp |
kestol 40 90 m|my\ updates.wp
wptool |dump gen preview diff status -h --help --version
wptool st|status
wptool status --c|--critical=
wptool status --directory=d|data
wptool status --directory=o|old\ data
wptool status |-w -c --warning= --critical= --min-records= --max-shrink= --directory= -V --version
wptool status -w 2 --m|--min-records= --max-shrink=
wptool status -c |
wptool status --max-shrink |
wptool status --directory o|old\ data
wptool preview 30 |90
wptool preview --at 1796731200 |40
wptool preview --at |
wptool dump u|upd.wp
wptool dump my\ u|my\ updates.wp
wptool dump upd.wp u|
wptool diff u|upd.wp
wptool diff upd.wp u|upd.wp
wptool diff my\ updates.wp u|upd.wp
wptool diff upd.wp upd.wp u|
wptool gen |
CASES
echo "$passes passed, $failures failed"
exit $((failures > 0))
