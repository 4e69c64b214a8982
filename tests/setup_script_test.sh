#!/usr/bin/env bash
# scripts/setup.sh against stub package tools: the policy-rc.d guard it places while apt-get runs
# must go away however apt-get ends (failure, Ctrl-C, SIGTERM), a guard it did not place must
# stay, and apt-get must see DEBIAN_FRONTEND=noninteractive also through sudo.
#
# Usage: setup_script_test.sh PATH/TO/scripts/setup.sh
# The script runs with a PATH that holds only the stubs and a few harmless tools (no apt-get, no
# sudo, no cmake of the machine's), and with its guard in a temporary folder.
set -euo pipefail

setup=$(realpath "$1")
real_guard=/usr/sbin/policy-rc.d
# A script that cannot be pointed elsewhere would place its guard on this very machine.
grep -q GLASSWING_POLICY_RC_D "$setup" || { echo "FAIL: $setup does not read GLASSWING_POLICY_RC_D"; exit 1; }
real_guard_before=$(stat -c '%i %s %Y' "$real_guard" 2>/dev/null || echo absent)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
shown_row=

check() { # DESCRIPTION COMMAND...
  local description=$1
  shift
  if "$@"; then
    echo "PASS: $row: $description"
  else
    echo "FAIL: $row: $description"
    failures=$((failures + 1))
    if [ "$shown_row" != "$row" ]; then
      shown_row=$row
      sed 's/^/    script: /' "$work/out"
      sed 's/^/    stubs:  /' "$work/log" 2>/dev/null || true
    fi
  fi
}

# Writes the stubs for one row. $1: what `apt-get install` does (succeed, fail, INT, TERM);
# $2: the user id the script sees.
make_stubs() {
  local install=$1 uid=$2
  rm -rf "${work:?}/bin" "$work/log" "$work/guard"
  mkdir "$work/bin"
  for tool in bash env dirname grep tee chmod rm cat sleep; do
    ln -s "$(command -v "$tool")" "$work/bin/$tool"
  done

  # Every package is missing.
  printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
  printf '#!/bin/sh\necho %s\n' "$uid" >"$work/bin/id"
  printf '#!/bin/sh\necho "cmake $*" >>%q\n' "$work/log" >"$work/bin/cmake"
  # Like sudo with its default env_reset: the command gets a fresh environment, with only what
  # is named on sudo's own command line.
  cat >"$work/bin/sudo" <<EOF
#!/bin/bash
echo "sudo \$*" >>'$work/log'
assignments=()
while [[ \$# -gt 0 && \$1 =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; do assignments+=("\$1"); shift; done
exec /usr/bin/env -i PATH="\$PATH" "\${assignments[@]}" "\$@"
EOF
  # Records what it saw, including whether the guard was in place and refuses service starts.
  cat >"$work/bin/apt-get" <<EOF
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
EOF
  chmod +x "$work/bin"/*
}

# Runs the script with the stubs; sets $status.
run_setup() {
  status=0
  # Signals a caller may have ignored are reset, so that the script's traps can take them, and
  # DEBIAN_FRONTEND comes only from the script.
  timeout 30 env -u DEBIAN_FRONTEND --default-signal=INT,TERM,HUP PATH="$work/bin" GLASSWING_POLICY_RC_D="$work/guard" \
    "$setup" >"$work/out" 2>&1 || status=$?
  # Nothing but the stubs may ever have run.
  check "apt-get was the stub" grep -q '^apt-get update' "$work/log"
}

logged() { grep -qx -- "$1" "$work/log"; }
never_ran() { ! grep -q "^$1 " "$work/log"; }
guard_absent() { [ ! -e "$work/guard" ]; }
failed() { [ "$status" -ne 0 ] && [ "$status" -ne 124 ]; }

row="apt-get fails"
make_stubs fail 0
run_setup
check "guard in place while apt-get ran" logged "apt-get install DEBIAN_FRONTEND=noninteractive guard=exits 101"
check "script fails (status $status)" failed
check "guard removed" guard_absent

for signal in INT TERM; do
  row="apt-get interrupted by SIG$signal"
  make_stubs "$signal" 0
  run_setup
  check "guard in place while apt-get ran" logged "apt-get install DEBIAN_FRONTEND=noninteractive guard=exits 101"
  check "script fails (status $status)" failed
  check "guard removed" guard_absent
  check "nothing built after the interruption" never_ran cmake
done

for install in fail succeed; do
  row="guard already there, apt-get ${install}s"
  make_stubs "$install" 0
  printf '#!/bin/sh\n# the administrator'"'"'s own\nexit 101\n' >"$work/guard"
  chmod +x "$work/guard"
  cp "$work/guard" "$work/guard.original"
  run_setup
  check "guard left in place, unchanged" cmp -s "$work/guard" "$work/guard.original"
done

row="root, apt-get succeeds"
make_stubs succeed 0
run_setup
check "script succeeds (status $status)" test "$status" -eq 0
check "apt-get install saw DEBIAN_FRONTEND=noninteractive" \
  logged "apt-get install DEBIAN_FRONTEND=noninteractive guard=exits 101"
check "sudo not used" never_ran sudo
check "guard removed" guard_absent
check "build ran" grep -q '^cmake --build' "$work/log"

row="not root, apt-get succeeds"
make_stubs succeed 1000
run_setup
check "script succeeds (status $status)" test "$status" -eq 0
check "apt-get ran through sudo" grep -q '^sudo .*apt-get install' "$work/log"
check "apt-get install saw DEBIAN_FRONTEND=noninteractive through sudo" \
  logged "apt-get install DEBIAN_FRONTEND=noninteractive guard=exits 101"
check "guard removed" guard_absent

row="machine"
real_guard_after=$(stat -c '%i %s %Y' "$real_guard" 2>/dev/null || echo absent)
check "$real_guard untouched" test "$real_guard_before" = "$real_guard_after"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
