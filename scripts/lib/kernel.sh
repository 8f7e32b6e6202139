# The kernel of Debian's linux-image-amd64 for the test VMs, unpacked into a
# cache folder with only the modules the VMs load (a few MB of the package's
# 400). Sourced by bash, not run:
#
#   . scripts/lib/kernel.sh          (brings scripts/lib/packages.sh along)
#   debian_kernel CACHE MODULE...    makes CACHE/kernel hold a kernel and MODULE...
#   kernel_image CACHE               prints the kernel's file (boot/vmlinuz-*)
#   kernel_module CACHE MODULE       prints the module's file (.ko, .ko.xz or .ko.zst)
#
# A MODULE is its path under the package's lib/modules/VERSION/kernel/ without
# the .ko ending (drivers/hid/uhid), or a bare name (9pnet_virtio) found
# anywhere there. Two test suites share one cache: when the cached kernel lacks
# a module, the package of the same version is unpacked again and the missing
# modules added; a version the archive no longer has is replaced by the
# current one, with only MODULE... of it.

. "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

kernel_image() { ls "$1"/kernel/boot/vmlinuz-* 2>/dev/null | head -n 1; }

kernel_module() {
  case $2 in
    */*) ls "$1"/kernel/lib/modules/*/kernel/"$2".ko "$1"/kernel/lib/modules/*/kernel/"$2".ko.xz \
            "$1"/kernel/lib/modules/*/kernel/"$2".ko.zst 2>/dev/null | head -n 1 ;;
    *) find "$1/kernel/lib/modules" \( -name "$2.ko" -o -name "$2.ko.xz" -o -name "$2.ko.zst" \) \
         2>/dev/null | head -n 1 ;;
  esac
}

# Whether CACHE holds a kernel and every MODULE.
_kernel_complete() {
  local cache=$1 m
  shift
  [ -n "$(kernel_image "$cache")" ] || return 1
  for m; do [ -n "$(kernel_module "$cache" "$m")" ] || return 1; done
}

# The package linux-image-amd64 depends on, e.g. linux-image-6.1.0-35-amd64.
_kernel_current_package() {
  LC_ALL=C apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n 1
}

# Downloads package $2 into folder $1; a stale package list may name a
# version the archive no longer has, so a failure updates the lists once.
_kernel_download() {
  _kernel_download_once "$1" "$2" || { apt_get update && _kernel_download_once "$1" "$2"; }
}
_kernel_download_once() { # apt-get download saves into the current folder
  local back=$PWD status
  cd "$1" || return 1
  apt_get download "$2"
  status=$?
  cd "$back" || return 1
  return "$status"
}

# Unpacks the downloaded package $2 (a .deb in $1) into $1/kernel.tmp, keeping
# the kernel and MODULE... ($3...).
_kernel_unpack() {
  local cache=$1 deb m keep=()
  deb=$(ls "$cache/$2"_*.deb 2>/dev/null | head -n 1)
  shift 2
  [ -n "$deb" ] || return 1
  for m; do
    case $m in
      */*) keep+=(-o -path "*/kernel/$m.ko*") ;;
      *) keep+=(-o -name "$m.ko" -o -name "$m.ko.xz" -o -name "$m.ko.zst") ;;
    esac
  done
  rm -rf "$cache/kernel.tmp"
  dpkg -x "$deb" "$cache/kernel.tmp" || return 1
  rm -f "$deb"
  (cd "$cache/kernel.tmp" &&
    find lib/modules -type f ! \( -false "${keep[@]}" \) -delete &&
    find boot -type f ! -name 'vmlinuz-*' -delete && rm -rf usr etc)
}

debian_kernel() {
  local cache=$1 image version pkg
  shift
  _kernel_complete "$cache" "$@" && return 0
  mkdir -p "$cache" || return 1
  image=$(kernel_image "$cache")
  if [ -n "$image" ]; then
    version=${image##*/vmlinuz-}
    pkg=linux-image-$version
    packages_note "the kernel cache $cache lacks modules; adding them from $pkg"
    if _kernel_download "$cache" "$pkg"; then
      _kernel_unpack "$cache" "$pkg" "$@" &&
        cp -rn "$cache/kernel.tmp/lib/modules/." "$cache/kernel/lib/modules/" ||
        { packages_note "cannot unpack $pkg"; return 1; }
      rm -rf "$cache/kernel.tmp"
    else
      packages_note "$pkg is no longer in the archive; fetching the current kernel"
      rm -rf "$cache/kernel"
    fi
  fi
  if [ -z "$(kernel_image "$cache")" ]; then
    pkg=$(_kernel_current_package)
    if [ -z "$pkg" ]; then
      apt_get update || { packages_note "apt-get update failed:"; apt_failure >&2; return 1; }
      pkg=$(_kernel_current_package)
    fi
    [ -n "$pkg" ] || { packages_note "cannot resolve the kernel package of linux-image-amd64"; return 1; }
    packages_note "downloading $pkg"
    _kernel_download "$cache" "$pkg" || { packages_note "apt-get download $pkg failed:"; apt_failure >&2; return 1; }
    _kernel_unpack "$cache" "$pkg" "$@" || { packages_note "cannot unpack $pkg"; return 1; }
    rm -rf "$cache/kernel"
    mv "$cache/kernel.tmp" "$cache/kernel" || return 1
  fi
  _kernel_complete "$cache" "$@" || { packages_note "the kernel package lacks a module of: $*"; return 1; }
}
