# Sourced by tests/kernel/run: the Debian packages the VM is made from,
# installed only where missing.
#
# needPackages PKG...   installs those not installed (apt-get update first)
# pickKernel CACHE      sets KVER to the kernel the VM boots: the one whose
#                       pieces are already in CACHE, else Debian's current
#                       6.1 kernel; its headers and the matching sources are
#                       then installed where missing

missingPackages() {
    local pkg
    for pkg; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || printf ' %s' "$pkg"
    done
}

aptUpdated=0
needPackages() {
    local missing
    missing=$(missingPackages "$@")
    [ -z "$missing" ] && return 0
    echo "installing:$missing"
    if [ $aptUpdated -eq 0 ]; then
        apt-get update -qq
        aptUpdated=1
    fi
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# The package version of Debian's current 6.1 kernel headers, and their ABI
# name (6.1.0-N-amd64), from the meta package.
currentKernel() {
    local dep
    dep=$(apt-cache depends linux-headers-amd64 2>/dev/null |
          sed -n 's/^ *Depends: linux-headers-\(6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n 1)
    if [ -z "$dep" ] && [ $aptUpdated -eq 0 ]; then
        apt-get update -qq
        aptUpdated=1
        dep=$(apt-cache depends linux-headers-amd64 2>/dev/null |
              sed -n 's/^ *Depends: linux-headers-\(6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n 1)
    fi
    echo "$dep"
}

pickKernel() {
    local cache=$1 ready
    KVER=""
    for ready in "$cache"/6.1.0-*-amd64/ready; do
        [ -e "$ready" ] && KVER=$(basename "$(dirname "$ready")")
    done
    [ -n "$KVER" ] && return 0
    KVER=$(currentKernel)
    if [ -z "$KVER" ]; then
        echo "tests/kernel: no Debian 6.1 kernel (linux-headers-amd64) found through apt" >&2
        return 1
    fi
    needPackages "linux-headers-$KVER"
    local version srcver
    version=$(dpkg-query -W -f='${Version}' "linux-headers-$KVER")
    srcver=$(dpkg-query -W -f='${Version}' linux-source-6.1 2>/dev/null || true)
    if [ "$srcver" != "$version" ]; then
        # The simulator is built from the sources of exactly this kernel:
        # it reads the kernel's own GPIO descriptor layout: an older one
        # than the newest sources, when the archive has moved on.
        [ $aptUpdated -eq 1 ] || { apt-get update -qq; aptUpdated=1; }
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            --allow-downgrades "linux-source-6.1=$version" >/dev/null
    fi
}
