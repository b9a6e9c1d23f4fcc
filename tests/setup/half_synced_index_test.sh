#!/usr/bin/env bash
# tools/setup.sh --packages against stand-ins for apt-get, dpkg and dpkg-query:
# a mirror in the middle of a sync and an i386 Wine that cannot be installed only
# skip 32-bit Wine; a needed package that cannot be installed stops set-up.
set -u
source_dir="$1"
stubs="$(mktemp -d)"
trap 'rm -rf "$stubs"' EXIT
cat > "$stubs/dpkg-query" <<'STUB'
#!/bin/sh
# Every package is installed but those named in STUB_MISSING.
for p in $STUB_MISSING; do eval "last=\${$#}"; [ "$p" = "$last" ] && exit 1; done
printf 'install ok installed'
STUB
cat > "$stubs/dpkg" <<'STUB'
#!/bin/sh
echo "dpkg $*" >> "$STUB_LOG"
STUB
cat > "$stubs/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >> "$STUB_LOG"
case "$*" in
  update*) echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
           echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
           exit 100 ;;
  *wine32:i386*) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
esac
for p in $STUB_BROKEN; do
  case " $* " in *" $p "*) echo "E: Unable to locate package $p" >&2; exit 100 ;; esac
done
STUB
printf '#!/bin/sh\nexec "$@"\n' > "$stubs/sudo"
chmod +x "$stubs"/*
export PATH="$stubs:$PATH" STUB_LOG="$stubs/log" XDG_CACHE_HOME="$stubs/cache"
failed=0
expect() { if ! eval "$1"; then echo "FAILED: $2"; failed=1; fi; }
run_setup() { : > "$STUB_LOG"; out="$("$source_dir/tools/setup.sh" --packages 2>&1)"; code=$?; echo "$out"; }

STUB_MISSING="xdotool wine32:i386" STUB_BROKEN="" run_setup
expect '[ $code = 0 ]' "a half-synced index and no 32-bit Wine end set-up with code $code"
expect 'grep -q "apt-get install .* xdotool" "$STUB_LOG"' "the missing package was not installed"
expect 'grep -q "index could not be fully updated (Failed to fetch .*Mirror sync in progress?)" <<<"$out"' \
       "the failed update is not reported with its cause"
expect '[ "$(grep -c "tests will run as x86_64" <<<"$out")" = 1 ]' "the skipped 32-bit Wine is not said once"

STUB_MISSING="xdotool wine32:i386" STUB_BROKEN="xdotool" run_setup
expect '[ $code != 0 ]' "a needed package that cannot be installed does not stop set-up"
expect 'grep -q "could not install xdotool: Unable to locate package xdotool" <<<"$out"' \
       "the stop does not name the package and the cause"
expect '! grep -q wine32 "$STUB_LOG"' "set-up went on after the stop"

STUB_MISSING="" STUB_BROKEN="" run_setup
expect '[ $code = 0 ] && [ -z "$out" ] && [ ! -s "$STUB_LOG" ]' "a run with everything present is not quiet"
STUB_MISSING="wine32:i386" STUB_BROKEN="" run_setup
expect '[ $code = 0 ] && [ -z "$out" ] && [ ! -s "$STUB_LOG" ]' "the same day's failed 32-bit Wine is tried again"
exit $failed
