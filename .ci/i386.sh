#!/usr/bin/env bash
# shellcheck disable=SC2016  # the single-quoted scripts are expanded inside the root
# 32-bit x86 leg: build kwsieve with Debian 13's toolchain and run its tests on
# CPython 3.13 inside an i386 root (size_t is 32 bits there).
#
# The root is made once with debootstrap from the host's own Debian mirror and
# reused while its marker file matches the package list below. If the kernel
# cannot run i386 binaries, they run under qemu-user through a binfmt_misc
# handler this script registers and removes again. Every mount and the handler
# are undone on exit, whether the leg passed, failed or was interrupted.
#
# Needs root. Knobs (all optional):
#   KWSIEVE_I386_ROOT          where the root lives (default /var/cache/kwsieve-i386-trixie)
#   KWSIEVE_I386_SRC           checkout to test (default: the one holding this script)
#   KWSIEVE_I386_EMULATE       auto | 1 (force qemu) | 0 (never qemu)   (default auto)
#   KWSIEVE_I386_PYTEST_ARGS   extra pytest arguments, shell-quoted; replaces the
#                              default, which is empty natively and -m "not slow"
#                              under emulation
#   KWSIEVE_I386_MIRROR        Debian mirror URI (default: read from the host's apt)
#   KWSIEVE_I386_TEST_TIMEOUT  seconds allowed for the test phase (default 2400)
#   KWSIEVE_I386_REBUILD=1     throw the root away and make it anew
set -euo pipefail

readonly SUITE=trixie
readonly PACKAGES=(python3 python3-dev python3-pytest python3-hypothesis python3-setuptools
                   python3-pip python3-scikit-build-core g++ cmake make)
readonly KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
readonly BINFMT_DIR=/proc/sys/fs/binfmt_misc
readonly HANDLER=kwsieve-i386
readonly QEMU=/usr/bin/qemu-i386-static
# ELF header of a 32-bit little-endian x86 executable or shared object
# (e_ident class 1, data 1, version 1; e_type 2 or 3; e_machine 3). The mask
# ignores the OS/ABI byte and the low bit of e_type.
readonly I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
readonly I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
readonly IN_ROOT_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

ROOT=${KWSIEVE_I386_ROOT:-/var/cache/kwsieve-i386-trixie}
SRC=${KWSIEVE_I386_SRC:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
EMULATE=${KWSIEVE_I386_EMULATE:-auto}
TEST_TIMEOUT=${KWSIEVE_I386_TEST_TIMEOUT:-2400}
# One lock for every root: the binfmt handler name is machine-wide.
LOCK=${KWSIEVE_I386_LOCK:-/var/cache/kwsieve-i386.lock}

# State the cleanup trap reads.
CHILD=""             # pid of the running long command (a `timeout` process)
MOUNTED_BINFMT=0     # we mounted binfmt_misc and must unmount it
REGISTERED=0         # we registered $HANDLER and must remove it
APT_UPDATED=0
LEG_START=$EPOCHREALTIME
PHASE=""
PHASE_START=""

log() { printf '[i386 %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "error: $*"; exit 1; }

elapsed() {  # seconds since $1 (an EPOCHREALTIME value), one decimal
    local now=$EPOCHREALTIME
    awk -v a="$1" -v b="$now" 'BEGIN { printf "%.1f", b - a }'
}

end_phase() {
    if [[ -n $PHASE ]]; then
        log "phase '$PHASE' took $(elapsed "$PHASE_START")s"
        PHASE=""
    fi
}

phase() {
    end_phase
    PHASE=$1
    PHASE_START=$EPOCHREALTIME
    log "== $PHASE"
}

# Runs "$@" in the background under `timeout` and waits for it, so that a
# signal reaches our trap at once and the trap can stop the whole command:
# `timeout` puts the command in its own process group and forwards signals to it.
run_bounded() {
    local limit=$1; shift
    # fd 9 holds the lock; a straggler must not keep it after we are gone.
    timeout --kill-after=30 "$limit" "$@" 9>&- &
    CHILD=$!
    local rc=0
    wait "$CHILD" || rc=$?
    CHILD=""
    return "$rc"
}

# Runs "$@" inside the root as a 32-bit process with a clean environment.
in_root() {
    local limit=$1; shift
    local -a env=(PATH="$IN_ROOT_PATH" HOME=/root LANG=C.UTF-8 LC_ALL=C.UTF-8
                  DEBIAN_FRONTEND=noninteractive KWSIEVE_I386_EMULATED="$EMULATED")
    local var
    # Pass the module's own settings (e.g. the worker-pool size) through.
    while IFS= read -r var; do
        [[ $var == KWSIEVE_I386_* ]] || env+=("$var=${!var}")
    done < <(compgen -e | grep '^KWSIEVE_' || true)
    run_bounded "$limit" setarch i686 chroot "$ROOT" /usr/bin/env -i "${env[@]}" "$@"
}

mounts_under() {  # mount points at or below $1, deepest first
    local dir=$1
    awk -v d="$dir" '{
            p = $5
            while (match(p, /\\[0-7][0-7][0-7]/)) {  # mountinfo escapes space, tab, newline, backslash
                c = substr(p, RSTART + 1, 3)
                p = substr(p, 1, RSTART - 1) sprintf("%c", (substr(c,1,1)*64) + (substr(c,2,1)*8) + substr(c,3,1)) substr(p, RSTART + 4)
            }
            if (p == d || index(p, d "/") == 1) print length(p) "\t" p
        }' /proc/self/mountinfo | sort -rn | cut -f2-
}

unmount_under() {
    local dir=$1 m pass
    for pass in 1 2 3; do
        local -a left=()
        mapfile -t left < <(mounts_under "$dir")
        ((${#left[@]})) || return 0
        for m in "${left[@]}"; do
            if ! umount "$m" 2>/dev/null; then
                if ((pass == 3)); then
                    log "warning: $m is busy; detaching it lazily"
                    umount -l "$m" || log "warning: could not unmount $m"
                fi
            fi
        done
        sleep 0.2
    done
}

cleanup() {
    local rc=$?
    set +e
    trap - EXIT INT TERM HUP
    if [[ -n $CHILD ]] && kill -0 "$CHILD" 2>/dev/null; then
        log "stopping the running command (pid $CHILD)"
        kill -TERM "$CHILD" 2>/dev/null
        local i
        for ((i = 0; i < 60; i++)); do
            kill -0 "$CHILD" 2>/dev/null || break
            sleep 0.5
        done
        kill -KILL "$CHILD" 2>/dev/null
        wait "$CHILD" 2>/dev/null
    fi
    end_phase
    unmount_under "$ROOT"
    unmount_under "$ROOT.partial"
    if ((REGISTERED)) && [[ -e $BINFMT_DIR/$HANDLER ]]; then
        echo -1 > "$BINFMT_DIR/$HANDLER" || log "warning: could not remove binfmt handler $HANDLER"
    fi
    if ((MOUNTED_BINFMT)); then
        umount "$BINFMT_DIR" || log "warning: could not unmount $BINFMT_DIR"
    fi
    if ((rc == 0)); then
        log "i386 leg passed in $(elapsed "$LEG_START")s"
    else
        log "i386 leg FAILED (exit $rc) after $(elapsed "$LEG_START")s"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

apt_update_once() {
    if ((!APT_UPDATED)); then
        apt-get update -q >&2
        APT_UPDATED=1
    fi
}

host_install() {  # installs the host packages among "$@" that are missing
    local -a missing=()
    local p
    for p; do
        dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    apt_update_once
    log "installing on the host: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# The URI of the main Debian archive as the host's apt configuration names it:
# the repository serving the host's own release (not -updates, -security or a
# third-party suite). apt parses both sources formats for us.
host_mirror() {
    local codename uri
    # shellcheck disable=SC1091
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [[ -n $codename ]] || return 1
    uri=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Identifier: Packages' 2>/dev/null |
          awk -v c="$codename" '$1 == c { print $2; exit }')
    [[ -n $uri ]] || return 1
    printf '%s\n' "${uri%/}"
}

# ---------------------------------------------------------------------------

[[ $(id -u) == 0 ]] || die "must run as root (debootstrap, chroot, mount)"
[[ $EMULATE == auto || $EMULATE == 0 || $EMULATE == 1 ]] || die "KWSIEVE_I386_EMULATE must be auto, 0 or 1"
[[ $TEST_TIMEOUT =~ ^[1-9][0-9]*$ ]] || die "KWSIEVE_I386_TEST_TIMEOUT must be a positive number of seconds"
ROOT=$(realpath -m -- "$ROOT")
SRC=$(realpath -e -- "$SRC")
[[ $ROOT != / && $ROOT != "$SRC" && $ROOT != "$SRC"/* && $SRC != "$ROOT"/* ]] ||
    die "the root ($ROOT) must lie outside the checkout ($SRC)"
[[ -f $SRC/pyproject.toml ]] || die "$SRC has no pyproject.toml"

mkdir -p "$(dirname "$LOCK")" "$(dirname "$ROOT")"
exec 9>"$LOCK"
if ! flock -n 9; then
    log "another i386 leg holds $LOCK; waiting"
    flock -w 7200 9 || die "gave up waiting for $LOCK"
fi

phase "host tools"
host_install debootstrap arch-test
# Leftovers of a run that was killed outright (we hold the lock, so no run is live).
unmount_under "$ROOT"
unmount_under "$ROOT.partial"

arch_rc=0
arch-test -n i386 >/dev/null 2>&1 || arch_rc=$?
case $EMULATE in
    auto) if ((arch_rc == 0)); then EMULATED=0; else EMULATED=1; fi ;;
    *) EMULATED=$EMULATE ;;
esac
log "kernel runs i386 natively: $([[ $arch_rc == 0 ]] && echo yes || echo no); emulating: $EMULATED"
((EMULATED || arch_rc == 0)) || die "the kernel cannot run i386 binaries and KWSIEVE_I386_EMULATE=0"

if ((EMULATED)); then
    phase "qemu-user and binfmt_misc"
    host_install qemu-user-static
    [[ -x $QEMU ]] || die "$QEMU is missing after installing qemu-user-static"
    if ! mountpoint -q "$BINFMT_DIR"; then
        mount -t binfmt_misc binfmt_misc "$BINFMT_DIR"
        MOUNTED_BINFMT=1
    fi
    if [[ -e $BINFMT_DIR/$HANDLER ]]; then
        log "removing a stale $HANDLER handler left by a killed run"
        echo -1 > "$BINFMT_DIR/$HANDLER"
    fi
    [[ $(cat "$BINFMT_DIR/status") == enabled ]] || die "binfmt_misc is disabled on this machine"
    # F (fix binary): the kernel opens qemu now, so it need not exist inside the root.
    # Entries are matched newest first, so this one wins over any older i386 entry.
    printf ':%s:M::%s:%s:%s:F\n' "$HANDLER" "$I386_MAGIC" "$I386_MASK" "$QEMU" > "$BINFMT_DIR/register"
    REGISTERED=1
    arch-test i386 >/dev/null 2>&1 || die "i386 binaries still do not run with the $HANDLER handler"
fi

# ---------------------------------------------------------------------------

packages_wanted=("${PACKAGES[@]}")
MIRROR=${KWSIEVE_I386_MIRROR:-}
MARKER=$ROOT/.kwsieve-root-complete

prepare_root_apt() {  # $1: root being prepared
    local dir=$1 proxy="" valid=""
    # Carry the host's proxy and archive-validity settings over, so that the
    # root reaches the mirror the same way the host does.
    eval "$(apt-config shell proxy Acquire::http::Proxy valid Acquire::Check-Valid-Until)"
    {
        echo 'APT::Install-Recommends "false";'
        echo 'APT::Install-Suggests "false";'
        [[ -z $proxy ]] || printf 'Acquire::http::Proxy "%s";\n' "$proxy"
        [[ $valid != false ]] || echo 'Acquire::Check-Valid-Until "false";'
    } > "$dir/etc/apt/apt.conf.d/90kwsieve"
}

mount_root() {
    local dir=$1
    mount -t proc proc "$dir/proc"
    mount -t sysfs -o ro sysfs "$dir/sys"
    mount --bind /dev "$dir/dev"
    # Keep mounts made below the bind from propagating back to the host's /dev.
    mount --make-rprivate "$dir/dev"
}

discard_root() {
    local dir=$1
    [[ -e $dir ]] || return 0
    # Only ever delete something that is one of our roots, whole or half-made,
    # in case KWSIEVE_I386_ROOT names a directory with other contents.
    if [[ -f $dir/.kwsieve-root-complete || -d $dir/debootstrap || -f $dir/etc/debian_version ||
          -z $(ls -A -- "$dir") ]]; then
        rm -rf --one-file-system -- "$dir"
    else
        die "$dir exists and is not an i386 root made by this script; not deleting it"
    fi
}

want_line=$(printf '%s\n' "${packages_wanted[@]}" | sort | tr '\n' ' ')
if [[ ${KWSIEVE_I386_REBUILD:-0} == 1 && -e $ROOT ]]; then
    log "KWSIEVE_I386_REBUILD=1: discarding $ROOT"
    discard_root "$ROOT"
fi

if [[ -f $MARKER ]]; then
    phase "reuse root $ROOT"
    mount_root "$ROOT"
    if [[ $(head -n1 "$MARKER") != "$want_line" ]]; then
        log "package list changed; installing into the existing root"
        rm -f -- "$MARKER"
        in_root 3600 apt-get update -q
        in_root 3600 apt-get install -y -q "${packages_wanted[@]}"
        in_root 600 apt-get clean
        printf '%s\n' "$want_line" > "$MARKER"
    fi
else
    phase "debootstrap $SUITE/i386"
    if [[ -z $MIRROR ]]; then
        MIRROR=$(host_mirror || { apt_update_once; host_mirror; }) ||
            die "no Debian archive for this host's release in its apt sources; set KWSIEVE_I386_MIRROR"
    fi
    log "mirror: $MIRROR"
    [[ $MIRROR != https://* ]] || packages_wanted+=(ca-certificates)
    # bookworm's debian-archive-keyring (2023.3+deb12u2 here) carries the
    # trixie keys; debootstrap checks the Release signature against it.
    if command -v gpg >/dev/null &&
        ! gpg --no-default-keyring --keyring "$KEYRING" --list-keys 2>/dev/null | grep -F "(13/$SUITE)" >/dev/null; then
        die "$KEYRING lacks the $SUITE keys; upgrade debian-archive-keyring"
    fi
    # A root without its marker is a half-made one: start it afresh.
    discard_root "$ROOT"
    discard_root "$ROOT.partial"
    proxy=""
    eval "$(apt-config shell proxy Acquire::http::Proxy)"
    http_proxy=${proxy:-${http_proxy:-}} run_bounded 5400 setarch i686 \
        debootstrap --variant=minbase --arch=i386 --keyring="$KEYRING" \
        "$SUITE" "$ROOT.partial" "$MIRROR" >&2
    mv -- "$ROOT.partial" "$ROOT"

    phase "install build and test packages"
    prepare_root_apt "$ROOT"
    mount_root "$ROOT"
    in_root 3600 apt-get update -q
    in_root 5400 apt-get install -y -q "${packages_wanted[@]}"
    in_root 600 apt-get clean
    printf '%s\n' "$want_line" > "$MARKER"
fi

in_root 120 /bin/sh -c 'printf "root: %s, %s, %s, %s, scikit-build-core %s, word size %s bits\n" \
    "$(uname -m)" "$(python3 -c "import sys; print(sys.version.split()[0])")" \
    "$(g++ --version | head -n1)" "$(cmake --version | head -n1)" \
    "$(python3 -c "import scikit_build_core; print(scikit_build_core.__version__)")" \
    "$(python3 -c "import struct; print(8 * struct.calcsize(\"P\"))")"' >&2

# ---------------------------------------------------------------------------

phase "copy checkout"
readonly WORK=/build/kwsieve
rm -rf --one-file-system -- "$ROOT/build"
mkdir -p "$ROOT$WORK"
if git -C "$SRC" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Tracked and unignored files as they are in the work tree, minus build output.
    (cd "$SRC" && git -c safe.directory="$SRC" ls-files -z --cached --others --exclude-standard --deduplicate -- . \
        ':(exclude,glob)build/**' ':(exclude,glob)_skbuild/**' ':(exclude,glob)dist/**' \
        ':(exclude,glob)**/__pycache__/**' ':(exclude,glob)**/*.so' ':(exclude,glob)**/*.egg-info/**' |
     while IFS= read -r -d '' f; do [[ -e $f || -L $f ]] && printf '%s\0' "$f"; done |
     tar --null -T - -cf -) | tar -xf - -C "$ROOT$WORK"
else
    tar -C "$SRC" --exclude=./.git --exclude=./build --exclude=./_skbuild --exclude=./dist \
        --exclude='__pycache__' --exclude='*.so' --exclude='*.egg-info' -cf - . | tar -xf - -C "$ROOT$WORK"
fi
log "copied $(find "$ROOT$WORK" -type f | wc -l) files from $SRC"

phase "build and install kwsieve (pip, scikit-build-core)"
in_root 3600 /bin/sh -c '
    set -e
    cd "$1"
    export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PIP_NO_INPUT=1
    # Without ninja, CMake generates Makefiles, which build one file at a time.
    export CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)"
    name=$(python3 -c "import tomllib; print(tomllib.load(open(\"pyproject.toml\", \"rb\"))[\"project\"][\"name\"])")
    # A previous run installed into the same root: start from none.
    python3 -m pip uninstall -q -y --break-system-packages "$name" 2>/dev/null || true
    python3 -m pip install --no-build-isolation --no-index --break-system-packages .
' sh "$WORK" >&2

if [[ -v KWSIEVE_I386_PYTEST_ARGS ]]; then
    pytest_args=$KWSIEVE_I386_PYTEST_ARGS
elif ((EMULATED)); then
    pytest_args='-m "not slow"'
else
    pytest_args=''
fi

phase "pytest (python3.13, ${pytest_args:-full suite})"
# The argument string is the caller's own, shell-quoted; the inner shell splits it.
in_root "$TEST_TIMEOUT" /bin/bash -c '
    set -e
    cd "$1"
    eval "args=($2)"
    exec python3 -m pytest -q -p no:cacheprovider tests "${args[@]}"
' bash "$WORK" "$pytest_args"
end_phase
