# Sourced by tests/kernel/run --mips: the MIPS VM's kernel and busybox,
# built once per machine and kept in a cache folder.
#
# buildMipsKernel CACHE    sets MIPS_KERNEL to a big-endian MIPS32 Malta
#                          kernel (vmlinux) built from Debian's
#                          linux-source-6.1 with mips.config over
#                          allnoconfig and pwm-store.c built in; kept in
#                          CACHE/linux-mips-VERSION-HASH (VERSION the
#                          source package's, HASH of mips.config and
#                          pwm-store.c)
# buildMipsBusybox CACHE   sets MIPS_BUSYBOX to a static busybox for
#                          big-endian MIPS built from Debian's busybox
#                          source with Debian's static configuration, and
#                          MIPS_APPLETS to the file listing its applets'
#                          paths; kept in CACHE/busybox-mips-VERSION (one
#                          already there, else built from the source apt
#                          offers)
#
# A build runs niced on 2 jobs in a folder of its own under CACHE, one at a
# time (a lock); only a finished build is moved to its place, and a failed
# one leaves its log in CACHE/failed.log.

mipsCross=mips-linux-gnu-

# lockCache CACHE: waits (20 minutes at most) until no other run builds in
# CACHE, then clears what an interrupted build left there.
lockCache() {
    exec {mipsLock}>>"$1/lock"
    flock -w 1200 "$mipsLock" || {
        echo "tests/kernel: $1 stayed locked by another build for 20 minutes" >&2
        return 1
    }
    rm -rf "$1"/build.*
}
unlockCache() { exec {mipsLock}>&-; }

# failBuild CACHE TMP MESSAGE: the end of a failed build.
failBuild() {
    tail -n 40 "$2/build.log" >&2
    mv "$2/build.log" "$1/failed.log"
    rm -rf "$2"
    unlockCache
    echo "tests/kernel: $3 (log: $1/failed.log)" >&2
    return 1
}

# keepBuild CACHE TMP NAME: moves the finished TMP/NAME to CACHE/NAME.
keepBuild() {
    mv "$2/build.log" "$2/$3/build.log"
    touch "$2/$3/ready"
    rm -rf "${1:?}/$3"
    mv "$2/$3" "$1/$3"
    rm -rf "$2"
    unlockCache
}

buildMipsKernel() {
    local cache=$1 here version key name tmp src out missing opt
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    version=$(dpkg-query -W -f='${Version}' linux-source-6.1)
    key=$(cat "$here/mips.config" "$here/pwm-store.c" "$here/simfix.sh" | sha256sum | cut -c 1-12)
    name=linux-mips-$version-$key
    MIPS_KERNEL=$cache/$name/vmlinux
    [ -e "$cache/$name/ready" ] && return 0
    lockCache "$cache"
    if [ -e "$cache/$name/ready" ]; then
        unlockCache
        return 0
    fi

    echo "building the MIPS kernel (linux-source-6.1 $version) into $cache/$name..."
    tmp=$(mktemp -d "$cache/build.XXXXXX")
    src=$tmp/src out=$tmp/out
    mkdir -p "$src" "$out" "$tmp/$name"
    tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=1
    # The suite's PWM chip, as a driver of the tree.
    fixSimulators "$src/drivers/gpio/gpio-sim.c" "$src/kernel/irq/irq_sim.c" ||
        { failBuild "$cache" "$tmp" "the simulators' sources are not as expected"; return 1; }
    cp "$here/pwm-store.c" "$src/drivers/pwm/pwm-store.c"
    printf '\nconfig PWM_STORE\n\tbool "PWM chip that stores the applied state, for tests"\n\tdepends on PWM\n' \
        >>"$src/drivers/pwm/Kconfig"
    printf 'obj-$(CONFIG_PWM_STORE) += pwm-store.o\n' >>"$src/drivers/pwm/Makefile"

    local kmake=(make -C "$src" O="$out" ARCH=mips CROSS_COMPILE="$mipsCross")
    "${kmake[@]}" -s KCONFIG_ALLCONFIG="$here/mips.config" allnoconfig >"$tmp/build.log" 2>&1 ||
        { failBuild "$cache" "$tmp" "the MIPS kernel could not be configured"; return 1; }
    # An option whose dependencies are not met is dropped without a word.
    missing=""
    for opt in $(grep '^CONFIG_' "$here/mips.config"); do
        grep -qx "$opt" "$out/.config" || missing="$missing $opt"
    done
    [ -z "$missing" ] ||
        { failBuild "$cache" "$tmp" "the MIPS kernel's configuration lacks:$missing"; return 1; }
    nice -n 10 "${kmake[@]}" -j 2 vmlinux >>"$tmp/build.log" 2>&1 ||
        { failBuild "$cache" "$tmp" "the MIPS kernel did not build"; return 1; }
    mv "$out/vmlinux" "$tmp/$name/vmlinux"
    mv "$out/.config" "$tmp/$name/config"
    keepBuild "$cache" "$tmp" "$name"
}

# builtBusybox CACHE: the name of a finished busybox in CACHE, if any.
builtBusybox() {
    local ready name=""
    for ready in "$1"/busybox-mips-*/ready; do
        [ -e "$ready" ] && name=$(basename "$(dirname "$ready")")
    done
    echo "$name"
}

buildMipsBusybox() {
    local cache=$1 name tmp bbsrc out version
    name=$(builtBusybox "$cache")
    if [ -z "$name" ]; then
        lockCache "$cache"
        name=$(builtBusybox "$cache")
        [ -z "$name" ] || unlockCache
    fi
    if [ -z "$name" ]; then
        echo "building busybox for MIPS from Debian's source into $cache..."
        tmp=$(mktemp -d "$cache/build.XXXXXX")
        (cd "$tmp" && apt-get source -qq busybox) >"$tmp/build.log" 2>&1 ||
            { failBuild "$cache" "$tmp" "apt-get source busybox failed"; return 1; }
        bbsrc=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name 'busybox-*')
        version=$(sed -n '1s/^busybox (\([^)]*\)).*/\1/p' "$bbsrc/debian/changelog" | tr ':' '_')
        name=busybox-mips-$version
        out=$tmp/out
        mkdir "$out" "$tmp/$name"
        # As Debian configures its static flavour.
        cat "$bbsrc/debian/config/os/linux" "$bbsrc/debian/config/pkg/static" >"$out/.config"
        local bbmake=(make -C "$out" -f "$bbsrc/Makefile" KBUILD_SRC="$bbsrc" CROSS_COMPILE="$mipsCross")
        { { yes "" || true; } | "${bbmake[@]}" silentoldconfig &&
            nice -n 10 "${bbmake[@]}" -j 2 busybox &&
            "${bbmake[@]}" busybox.links; } >>"$tmp/build.log" 2>&1 ||
            { failBuild "$cache" "$tmp" "busybox did not build for MIPS"; return 1; }
        mv "$out/busybox" "$out/busybox.links" "$tmp/$name/"
        keepBuild "$cache" "$tmp" "$name"
    fi
    MIPS_BUSYBOX=$cache/$name/busybox
    MIPS_APPLETS=$cache/$name/busybox.links
}
