#!/usr/bin/env bash
# scripts/setup.sh against stub package tools, one row per way apt-get ends: the policy-rc.d guard
# it places while apt-get runs must go away however apt-get ends (failure, a signal), a
# guard it did not place must stay, and apt-get must see DEBIAN_FRONTEND=noninteractive through
# sudo. The script runs with a PATH that holds only the stubs and a few harmless tools, and
# with its guard in a temporary folder: never the machine's apt-get, sudo or policy-rc.d.
#
# Usage: setup_script_test.sh PATH/TO/scripts/setup.sh
set -euo pipefail

setup=$(realpath "$1")
# A script that cannot be pointed elsewhere would place its guard on this very machine.
grep -q GLASSWING_POLICY_RC_D "$setup" || { echo "FAIL: $setup does not read GLASSWING_POLICY_RC_D"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

check() { # DESCRIPTION COMMAND...
  "${@:2}" && return
  echo "FAIL: $row: $1"
  failures=$((failures + 1))
  sed 's/^/    script: /' "$work/out"
  sed 's/^/    stubs:  /' "$work/log"
}

# One row: what `apt-get install` does (succeed, fail, INT, TERM), and whether an administrator's
# guard is there before. The script runs as an ordinary user, so everything goes through sudo.
run_row() {
  local install=$1 own_guard=$2
  rm -rf "${work:?}/bin" "$work/log" "$work/guard"
  touch "$work/log" && mkdir "$work/bin"
  for tool in bash env dirname grep tee chmod rm cat sleep; do
    ln -s "$(command -v "$tool")" "$work/bin/$tool"
  done
  printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query" # every package is missing
  printf '#!/bin/sh\necho 1000\n' >"$work/bin/id"
  for tool in cmake npm; do
    printf '#!/bin/sh\necho "%s $*" >>%q\n' "$tool" "$work/log" >"$work/bin/$tool"
  done
  # Like sudo with its default env_reset: a fresh environment, with only what is on its command line.
  cat >"$work/bin/sudo" <<STUB
#!/bin/bash
echo "sudo \$*" >>'$work/log'
assignments=()
while [[ \$# -gt 0 && \$1 =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; do assignments+=("\$1"); shift; done
exec /usr/bin/env -i PATH="\$PATH" "\${assignments[@]}" "\$@"
STUB
  # Records what it saw, including whether the guard was in place and refuses service starts.
  cat >"$work/bin/apt-get" <<STUB
#!/bin/sh
guard=absent
if [ -x '$work/guard' ]; then '$work/guard'; guard="exits \$?"; fi
echo "apt-get \$1 DEBIAN_FRONTEND=\${DEBIAN_FRONTEND-unset} guard=\$guard" >>'$work/log'
[ "\$1" = install ] || exit 0
case $install in
  succeed) exit 0 ;;
  fail) exit 100 ;;
  # The signal reaches the script and apt-get, as Ctrl-C or a service manager would send it.
  *) kill -s $install \$PPID; kill -s $install \$\$; sleep 10; exit 1 ;;
esac
STUB
  chmod +x "$work/bin"/*
  if [ "$own_guard" = yes ]; then
    printf '#!/bin/sh\n# the administrator'"'"'s own\nexit 101\n' >"$work/guard"
    chmod +x "$work/guard"
    cp "$work/guard" "$work/guard.original"
  fi
  status=0
  # Signals a caller may have ignored are reset, so that the script's traps can take them, and
  # DEBIAN_FRONTEND comes only from the script.
  timeout 30 env -u DEBIAN_FRONTEND --default-signal=INT,TERM,HUP PATH="$work/bin" GLASSWING_POLICY_RC_D="$work/guard" \
    "$setup" >"$work/out" 2>&1 || status=$?

  check "apt-get install ran with the guard in place, noninteractive" \
    grep -qx "apt-get install DEBIAN_FRONTEND=noninteractive guard=exits 101" "$work/log"
  case $own_guard in
    yes) check "the administrator's guard left unchanged" cmp -s "$work/guard" "$work/guard.original" ;;
    *) check "guard removed" test ! -e "$work/guard" ;;
  esac
  case $install in
    succeed) check "script succeeds (status $status), build ran" \
               bash -c "[ $status -eq 0 ] && grep -q '^cmake --build' '$work/log'" ;;
    *) check "script fails (status $status), nothing built" \
         bash -c "[ $status -ne 0 ] && [ $status -ne 124 ] && ! grep -q '^cmake ' '$work/log'" ;;
  esac
  check "apt-get ran through sudo" grep -q '^sudo .*apt-get install' "$work/log"
}

row="apt-get fails" run_row fail no
row="apt-get interrupted by SIGINT" run_row INT no
row="guard already there, apt-get succeeds" run_row succeed yes
row="apt-get succeeds" run_row succeed no

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
