# Installs what a script of tavrin needs from the Debian archive, when it is
# missing: as root, or through sudo. Sourced by bash, not run:
#
#   . scripts/lib/packages.sh
#   ensure_packages PKG...   installs those of PKG... that dpkg does not have
#   apt_get ARGS...          apt-get as root, waiting for the package manager
#   apt_failure              the error lines of the last apt_get that failed
#                            (APT_LOCKED is set when it gave up waiting)
#
# While another apt-get or dpkg runs (a second terminal, an unattended upgrade
# on a machine just booted) it holds the package manager's locks; apt_get
# waits for it instead of failing, at most TAVRIN_APT_WAIT seconds (600) for
# each apt-get. apt waits for the dpkg locks itself (DPkg::Lock::Timeout); it
# fails at once on the others (the package lists' during an update, the
# download folder's), so apt_get tries again every 2 s until the same bound.
#
# Messages start with "$script_name: " (default: the script's file name).

# Prints a line about what the package functions do, on standard error.
packages_note() { echo "${script_name:-${0##*/}}: $*" >&2; }

# "/var/lib/dpkg/lock-frontend is held by process 9458 (apt-get)", from apt's
# "...Could not get lock /var/lib/dpkg/lock-frontend. It is held by process
# 9458 (apt-get)...".
_apt_lock_holder() {
  sed -E -e 's/.*Could not get lock ([^ ]+)\. It is held by (process [0-9]+ \([^)]*\)).*/\1 is held by \2/' \
         -e 's/.*Could not get lock //' <<<"$1"
}

# Copies apt-get's output into the log $1 and says once when apt starts
# waiting for a lock and when it goes on (after $_apt_started, in $SECONDS).
_apt_watch() {
  local log=$1 line waiting=""
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    case $line in
      "Waiting for cache lock"*)
        if [ -z "$waiting" ]; then
          waiting=yes
          packages_note "waiting for another apt-get or dpkg to finish: $(_apt_lock_holder "$line")" \
                        "(at most ${TAVRIN_APT_WAIT:-600} s)"
        fi ;;
      "E: "*) ;;
      *)
        if [ -n "$waiting" ] && [ "$waiting" != over ]; then
          packages_note "the package manager is free after $((SECONDS - _apt_started)) s; going on"
          waiting=over
        fi ;;
    esac
  done
}

APT_LOG="" APT_LOCKED=""
apt_get() {
  local - # the options set here end with the function
  set +e +o pipefail
  local wait=${TAVRIN_APT_WAIT:-600}
  local _apt_started=$SECONDS deadline=$((SECONDS + wait)) as_root=(env) left status noted=""
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
      packages_note "apt-get $* needs root, and there is no sudo: run it as root"
      return 1
    fi
    as_root=(sudo env)
  fi
  [ -z "$APT_LOG" ] || rm -f "$APT_LOG"
  APT_LOG=$(mktemp "${TMPDIR:-/tmp}/tavrin-apt.XXXXXX") || return 1
  APT_LOCKED=""
  while :; do
    : >"$APT_LOG"
    left=$((deadline - SECONDS))
    [ "$left" -gt 0 ] || left=1
    # LC_ALL=C: the lock messages are read here.
    "${as_root[@]}" LC_ALL=C DEBIAN_FRONTEND=noninteractive \
      apt-get -o DPkg::Lock::Timeout="$left" "$@" 2>&1 | _apt_watch "$APT_LOG"
    status=${PIPESTATUS[0]}
    [ "$status" = 0 ] && break
    grep -Ev 'are you root' "$APT_LOG" |
      grep -qE '^E: (Could not get lock|Unable to lock|Unable to acquire the dpkg frontend lock)' || break
    if [ "$SECONDS" -ge "$deadline" ]; then
      packages_note "gave up waiting for the package manager after $wait s (TAVRIN_APT_WAIT)"
      APT_LOCKED=1
      break
    fi
    if [ -z "$noted" ]; then
      packages_note "waiting for another apt-get or dpkg to finish:" \
                    "$(_apt_lock_holder "$(grep -m1 'Could not get lock' "$APT_LOG")") (at most $wait s)"
      noted=1
    fi
    sleep 2
  done
  if [ "$status" = 0 ]; then
    rm -f "$APT_LOG"
    APT_LOG=""
  fi
  return "$status"
}

apt_failure() {
  [ -n "$APT_LOG" ] && [ -f "$APT_LOG" ] || return 0
  grep -E '^(E|W): ' "$APT_LOG" | grep -v '^W: Download is performed unsandboxed' | tail -n 8
  echo "(apt-get's whole output: $APT_LOG)"
}

ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  packages_note "installing ${missing[*]} from the Debian archive"
  apt_get install -y --no-install-recommends "${missing[@]}" && return 0
  [ -z "$APT_LOCKED" ] || { packages_note "cannot install ${missing[*]}"; return 1; }
  # Package lists that are missing or stale know no such package, or a version
  # the archive no longer has.
  packages_note "apt-get install failed (package lists missing or stale?); updating them and trying again"
  if apt_get update && apt_get install -y --no-install-recommends "${missing[@]}"; then
    return 0
  fi
  packages_note "cannot install ${missing[*]}:"
  apt_failure >&2
  return 1
}
