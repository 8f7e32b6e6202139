#!/usr/bin/env bash
# The installs from the Debian archive (scripts/lib/packages.sh).
#
#   tests/packages_test.sh ROOT one-installer
#     No script of ROOT runs apt-get install, update or download itself: they
#     all go through scripts/lib/, which waits for the package manager.
#   tests/packages_test.sh ROOT lock-wait
#     apt_get waits for another process holding the package manager's locks,
#     goes on when it lets go, and gives up after TAVRIN_APT_WAIT. The real
#     apt-get runs on a private copy of the dpkg database and lists (APT_CONFIG),
#     so the machine's package manager is never touched. Needs root and
#     python3 (to hold the locks as apt does, with fcntl); skipped (77) otherwise.
set -u
root=$1
case $2 in
one-installer)
  cd "$root" || exit 1
  found=$(git ls-files 2>/dev/null || find . -type f ! -path './build*' ! -path './.git/*')
  call='^[^#]*\bapt(-get)?\b[^|;&#]*[[:space:]](install|update|download)\b'
  offenders=$(for f in $(grep -lE "$call" $found 2>/dev/null); do
      case $f in scripts/lib/*) continue ;; esac
      head -n 1 "$f" | grep -qE '^#!.*\b(ba)?sh\b' || continue  # scripts only, not their documentation
      grep -nE "$call" "$f" | sed "s|^|$f:|"
    done)
  if [ -n "$offenders" ]; then
    echo "these scripts call apt-get themselves; use ensure_packages or apt_get of scripts/lib/packages.sh:"
    echo "$offenders"
    exit 1
  fi
  ;;
lock-wait)
  [ "$(id -u)" = 0 ] || { echo "needs root"; exit 77; }
  command -v python3 >/dev/null || { echo "needs python3"; exit 77; }
  t=$(mktemp -d)
  trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$t"' EXIT
  mkdir -p "$t"/dpkg "$t"/state/lists/partial "$t"/cache/archives/partial "$t"/log "$t"/parts
  cp /var/lib/dpkg/status "$t/dpkg/status"
  : >"$t/sources.list"
  cat >"$t/apt.conf" <<EOF
Dir::State "$t/state";
Dir::State::status "$t/dpkg/status";
Dir::Cache "$t/cache";
Dir::Log "$t/log";
Dir::Etc::SourceList "$t/sources.list";
Dir::Etc::SourceParts "$t/parts";
EOF
  export APT_CONFIG=$t/apt.conf
  script_name=packages_test
  . "$root/scripts/lib/packages.sh"
  installed=$(dpkg-query -W -f='${Package}\n' dpkg)  # always there: installing it again changes nothing

  hold() { # LOCK SECONDS: holds the lock file as apt does, then lets go
    python3 -c 'import fcntl, sys, time
f = open(sys.argv[1], "w"); fcntl.lockf(f, fcntl.LOCK_EX); print("held", flush=True); time.sleep(float(sys.argv[2]))' \
      "$1" "$2" >"$t/held" &
    for _ in $(seq 50); do [ -s "$t/held" ] && return 0; sleep 0.1; done
    echo "cannot hold $1"; exit 1
  }
  failed=0
  ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
  expect() { # NAME MS-AT-LEAST MS-AT-MOST STATUS MESSAGE-PATTERN COMMAND...
    local name=$1 least=$2 most=$3 want=$4 pattern=$5 start status took
    shift 5
    start=$(ms)
    "$@" 2>"$t/err"
    status=$?
    took=$(($(ms) - start))
    kill $(jobs -p) 2>/dev/null
    wait
    rm -f "$t/held"
    if [ "$status" != "$want" ] || [ "$took" -lt "$least" ] || [ "$took" -gt "$most" ] ||
        ! grep -qE "$pattern" "$t/err"; then
      echo "FAIL $name: status $status (want $want) after $took ms (want $least..$most); messages:"
      cat "$t/err"
      [ -z "$APT_LOG" ] || cat "$APT_LOG"
      failed=1
    else
      echo "ok $name ($took ms)"; sed "s/^/    /" "$t/err"
    fi
  }

  # apt waits for the dpkg lock itself (DPkg::Lock::Timeout).
  hold "$t/dpkg/lock-frontend" 1.5
  expect "install waits for the dpkg lock" 1200 20000 0 \
    "waiting for another apt-get or dpkg to finish: $t/dpkg/lock-frontend is held by process [0-9]+ \(python3\)" \
    apt_get install -y "$installed"
  # apt fails at once on the lists' lock; apt_get tries again.
  hold "$t/state/lists/lock" 1.5
  expect "update waits for the lists' lock" 1200 20000 0 "$t/state/lists/lock is held by process" apt_get update
  # ... and on the download folder's, which an install takes after the dpkg lock.
  hold "$t/cache/archives/lock" 1.5
  expect "install waits for the download folder's lock" 1200 20000 0 "$t/cache/archives/lock is held" \
    apt_get install -y "$installed"
  # Every wait has its bound.
  hold "$t/state/lists/lock" 30
  TAVRIN_APT_WAIT=1 expect "a lock held too long is given up" 0 5000 100 "gave up waiting .* after 1 s" apt_get update
  hold "$t/dpkg/lock-frontend" 30
  TAVRIN_APT_WAIT=1 expect "the dpkg lock held too long is given up" 0 5000 100 "gave up waiting .* after 1 s" \
    apt_get install -y "$installed"
  # ... and ensure_packages then stops: an update would only wait as long again.
  hold "$t/dpkg/lock-frontend" 30
  TAVRIN_APT_WAIT=1 expect "no update after giving up" 0 5000 1 "gave up waiting" ensure_packages tavrin-no-such-package
  ! grep -q updating "$t/err" || { echo "FAIL no update after giving up: it updated"; failed=1; }
  exit "$failed"
  ;;
*) echo "usage: tests/packages_test.sh ROOT one-installer|lock-wait"; exit 2 ;;
esac
