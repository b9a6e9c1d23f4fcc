#!/usr/bin/env bash
# Runs a 32-bit Windows program here, such as the shipped one, and passes its
# output and exit code through. It runs in the build tree's 64-bit route
# prefix (BUILD_DIR/wineprefix-route32, made on first use), in its WoW64 half:
# - where the kernel runs 32-bit code, with plain 32-bit Wine;
# - where it does not (booted with its 32-bit emulation off), with Wine's
#   32-bit loader under qemu-i386-static, registered for i386 programs in a
#   binfmt_misc instance of a private user and mount namespace: nothing
#   changes machine-wide and no other Wine process is rerouted.
# QV_WINE32_VIA_QEMU=1 takes the second way even where the first would do.
# QV_WINE32_DISPLAY, when set, is the X display for what runs here.
# Where 32-bit programs cannot run, one line on stderr says why, and the exit
# code is 77.
# Usage: tools/wine32.sh [--build BUILD_DIR] PROGRAM.exe [ARGUMENTS...]
#        tools/wine32.sh [--build BUILD_DIR] --shell COMMAND [ARGUMENTS...]
#        (a Linux command, such as a script that runs wine, on the same route)
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
loader=/usr/lib/wine/wine
qemu=/usr/bin/qemu-i386-static
cannot() { echo "wine32: 32-bit Windows programs cannot run here: $*" >&2; exit 77; }

# Inside the namespace, as its root: UID and GID are the caller's, DIR the
# folder to run in, HOLDER the file that names a namespace to join, NEW 1 for
# a namespace just made, whose name goes there. Then the i386 ELF header
# (32-bit, little-endian, executable or shared object, machine 3) goes to
# qemu; Debian's amd64 package describes no i386 handler, the host's own
# family, so it is written here. Flags F and C: the interpreter is opened now,
# and runs with the program's credentials.
if [ "${1:-}" = --enter ]; then
  uid="$2" gid="$3" dir="$4" holder="$5" new="$6"
  shift 6
  as_caller=()
  [ "$uid" = 0 ] || as_caller=(unshare --user --map-user="$uid" --map-group="$gid" --)
  if [ "$new" = 1 ]; then
    binfmt=/proc/sys/fs/binfmt_misc
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      cannot "binfmt_misc could not be mounted in a user namespace (that needs Linux 6.7 or newer; this is $(uname -r))"
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':qv-i386:M::%s:%s:%s:FC' "$magic" "$mask" "$qemu" > "$binfmt/register" ||
      cannot "qemu-i386-static could not be registered for i386 programs in the namespace"
    # Later runs join this namespace while the route prefix's Wine server
    # runs, so that they and the server see the same mounts (such as a test's
    # small volume).
    (exec </dev/null >/dev/null 2>&1; sleep 10; "${as_caller[@]}" wineserver -w) &
    echo "$! $(readlink /proc/self/ns/mnt)" > "$holder"
  fi
  # Back to the caller's own user, so that Wine finds its files and server.
  cd "$dir" && exec "${as_caller[@]}" "$@"
fi

build="$(realpath -m "$here/build")"
if [ "${1:-}" = --build ]; then build="$(realpath -m "$2")"; shift 2; fi
command=(wine)
if [ "${1:-}" = --shell ]; then command=(); shift; fi
[ $# -gt 0 ] || { echo "usage: tools/wine32.sh [--build BUILD_DIR] PROGRAM.exe|--shell COMMAND [ARGUMENTS...]" >&2; exit 2; }
[ -x "$loader" ] || cannot "Wine's 32-bit loader $loader is missing (Debian package wine32:i386; tools/setup.sh installs it)"

route=native why=
if [ "${QV_WINE32_VIA_QEMU:-}" = 1 ]; then why="QV_WINE32_VIA_QEMU=1 asks for qemu"
elif ! "$loader" --version >/dev/null 2>&1; then why="this kernel runs no 32-bit code"
fi
if [ -n "$why" ]; then
  route=qemu
  [ -x "$qemu" ] ||
    cannot "$why and $qemu is missing (Debian package qemu-user-static; tools/setup.sh installs it)"
  refusal="$(unshare --user --map-root-user --mount true 2>&1)" ||
    cannot "$why and user namespaces are not allowed ($refusal)"
  # Each thread's own segment descriptors (tools/qemu-thread-segments.c); the
  # 64-bit programs that Wine starts find an empty library under the same name.
  helper="$build/route32"
  source="$here/tools/qemu-thread-segments.c"
  library="$helper/lib/i386-linux-gnu/qv-thread-segments.so"
  if [ ! "$library" -nt "$source" ]; then
    mkdir -p "$helper/lib/i386-linux-gnu" "$helper/lib/x86_64-linux-gnu"
    gcc -shared -nostdlib -x c -o "$helper/lib/x86_64-linux-gnu/qv-thread-segments.so" /dev/null &&
      gcc -m32 -O2 -fPIC -shared -nostdlib -fno-stack-protector -Wall -Wextra -Werror \
          -o "$library.$$" "$source" /lib/i386-linux-gnu/libc.so.6 >&2 &&
      mv -f "$library.$$" "$library" ||
      cannot "the thread-segment helper could not be built (gcc -m32 and libc6:i386 are needed)"
  fi
fi

[ -f "$build/wineprefix-route32/.qv-ready" ] || { mkdir -p "$build" && "$here/tools/wine-prefix.sh" "$build" route32 >&2; } ||
  cannot "the route prefix $build/wineprefix-route32 could not be made"
. "$here/tools/wine-env.sh" "$build" route32
[ -n "${QV_WINE32_DISPLAY:-}" ] && export DISPLAY="$QV_WINE32_DISPLAY"
[ "$route" = native ] && exec "${command[@]}" "$@"

# Wine reserves the 32-bit address space above 2 GiB in 64 KiB steps, each
# a search of qemu's page table; a guest space that ends 16 MiB above 2 GiB
# keeps that search short: about 55 s less for every process.
export QEMU_RESERVED_VA=0x81000000
export QEMU_SET_ENV="LD_PRELOAD=$helper/\$LIB/qv-thread-segments.so"
holder="$helper/namespace"
if read -r pid namespace 2>/dev/null < "$holder" &&
   [ "$(readlink "/proc/$pid/ns/mnt" 2>/dev/null)" = "$namespace" ]; then
  exec nsenter --target "$pid" --user --mount --preserve-credentials -- \
    bash "$here/tools/wine32.sh" --enter "$(id -u)" "$(id -g)" "$PWD" "$holder" 0 "${command[@]}" "$@"
fi
exec unshare --user --map-root-user --mount -- \
  bash "$here/tools/wine32.sh" --enter "$(id -u)" "$(id -g)" "$PWD" "$holder" 1 "${command[@]}" "$@"
