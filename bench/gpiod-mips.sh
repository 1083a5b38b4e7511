# Sourced by bench/kernel --mips, after tests/kernel/kernel-mips.sh (whose
# cache helpers it uses): libgpiod's tools for 32-bit big-endian MIPS, the
# peer that pinctl is measured against, built from Debian's own source
# package as Debian builds it (autoreconf after its patches, its build
# flags for mips with hardening on, the tools linked against the shared
# libgpiod, stripped). They are measured, never linked with or copied
# into anything of ours.
#
# buildMipsGpiod CACHE   sets MIPS_GPIOD to CACHE/libgpiod-mips-VERSION,
#                        which holds bin/gpioget, bin/gpioset, bin/gpiomon
#                        and lib/libgpiod.so.*, as installed (one already
#                        built there, else built from the source apt offers,
#                        niced on 2 jobs, one build at a time)

builtGpiod() {
    local ready name=""
    for ready in "$1"/libgpiod-mips-*/ready; do
        [ -e "$ready" ] && name=$(basename "$(dirname "$ready")")
    done
    echo "$name"
}

buildMipsGpiod() {
    local cache=$1 name tmp gsrc version
    name=$(builtGpiod "$cache")
    if [ -z "$name" ]; then
        lockCache "$cache"
        name=$(builtGpiod "$cache")
        [ -z "$name" ] || unlockCache
    fi
    if [ -z "$name" ]; then
        echo "building libgpiod's tools for MIPS from Debian's source into $cache..."
        tmp=$(mktemp -d "$cache/build.XXXXXX")
        (cd "$tmp" && apt-get source -qq libgpiod) >"$tmp/build.log" 2>&1 ||
            { failBuild "$cache" "$tmp" "apt-get source libgpiod failed"; return 1; }
        gsrc=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name 'libgpiod-*')
        version=$(sed -n '1s/^libgpiod (\([^)]*\)).*/\1/p' "$gsrc/debian/changelog" | tr ':' '_')
        name=libgpiod-mips-$version
        mkdir "$tmp/out" "$tmp/stage" "$tmp/$name"
        # Debian's flags for its mips port, with what debian/rules adds.
        local flags
        flags=$(DEB_HOST_ARCH=mips DEB_BUILD_MAINT_OPTIONS=hardening=+all \
            DEB_CFLAGS_MAINT_APPEND="-Wall -pedantic" dpkg-buildflags --export=sh)
        {
            # As dh_autoreconf regenerates it, after Debian's patches.
            (cd "$gsrc" && autoreconf -fi) &&
            (cd "$tmp/out" && eval "$flags" &&
                "$gsrc/configure" --build="$(dpkg-architecture -q DEB_BUILD_GNU_TYPE)" \
                    --host="${mipsCross%-}" --prefix=/usr --disable-silent-rules \
                    --disable-dependency-tracking --enable-tools=yes &&
                nice -n 10 make -j 2 &&
                make install DESTDIR="$tmp/stage")
        } >>"$tmp/build.log" 2>&1 ||
            { failBuild "$cache" "$tmp" "libgpiod did not build for MIPS"; return 1; }
        mkdir "$tmp/$name/bin" "$tmp/$name/lib"
        cp -a "$tmp/stage/usr/bin/gpioget" "$tmp/stage/usr/bin/gpioset" "$tmp/stage/usr/bin/gpiomon" \
            "$tmp/$name/bin/"
        cp -a "$tmp/stage/usr/lib"/libgpiod.so.* "$tmp/$name/lib/"
        # Stripped as dh_strip strips a package's programs and libraries.
        "${mipsCross}strip" --remove-section=.comment --remove-section=.note "$tmp/$name"/bin/*
        "${mipsCross}strip" --remove-section=.comment --remove-section=.note --strip-unneeded \
            "$(readlink -f "$tmp/$name/lib/libgpiod.so.2")"
        keepBuild "$cache" "$tmp" "$name"
    fi
    MIPS_GPIOD=$cache/$name
}
