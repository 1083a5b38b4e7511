# Sourced by tests/kernel/run.
#
# makeInitramfs OUT MODULES STAGE SCRIPT [FILE...]
#   writes OUT, an uncompressed cpio archive holding busybox, /init, the
#   modules in MODULES, what STAGE holds as installed (usr/bin/pinctl and
#   its libvarnel.so, from a cmake --install or a package), uapiline,
#   SCRIPT as /kt/script, and each FILE in /kt; every dynamic program comes
#   with the shared libraries ldd names for it, and the loader finds them
#   through an ld.so.cache, as on an installed system

# copyWithLibs ROOT PROGRAM DEST: PROGRAM to ROOT/DEST, with its libraries
# at their own paths under ROOT (libvarnel.so excepted: it is installed
# from the stage).
copyWithLibs() {
    local root=$1 prog=$2 dest=$3
    mkdir -p "$root/$(dirname "$dest")"
    cp -L "$prog" "$root/$dest"
    copyLibsOf "$root" "$prog"
}

# copyLibsOf ROOT PROGRAM: the shared libraries PROGRAM needs, at their
# own paths under ROOT.
copyLibsOf() {
    local root=$1 prog=$2 lib
    # "libx.so => /path/libx.so (0x...)" and "/lib64/ld-linux... (0x...)"
    for lib in $(ldd "$prog" 2>/dev/null |
                 sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
        case $lib in */libvarnel.so) continue ;; esac
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

makeInitramfs() {
    local out=$1 modules=$2 stage=$3 script=$4 here root applet file lib
    shift 4
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    root=$out.d
    rm -rf "$root"
    mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/lib,dev,proc,sys,tmp,run,root,kt/modules}

    cp /bin/busybox "$root/bin/busybox"
    for applet in $(/bin/busybox --list-full); do
        [ -e "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
    done
    cp "$here/init" "$root/init"
    cp "$modules"/*.ko "$root/kt/modules/"
    gcc -O2 -Wall -Wextra -static -o "$root/usr/bin/uapiline" "$here/uapiline.c"

    cp -a "$stage/usr/." "$root/usr/"
    # A static pinctl comes without libvarnel.so.
    lib=$(cd "$root" && find usr/lib -name libvarnel.so | head -n 1)
    if [ -n "$lib" ]; then
        LD_LIBRARY_PATH="$root/$(dirname "$lib")" copyLibsOf "$root" "$root/usr/bin/pinctl"
        copyLibsOf "$root" "$root/$lib"
    fi
    cp "$script" "$root/kt/script"
    for file; do
        case $file in
        *=*) copyWithLibs "$root" "${file#*=}" "${file%%=*}" ;;
        *) cp -L "$file" "$root/kt/" ;;
        esac
    done

    # The loader's cache, of every folder that holds a library.
    mkdir -p "$root/etc"
    (cd "$root" && find . -name '*.so*' -type f | sed 's|^\.||; s|/[^/]*$||' | sort -u) >"$root/etc/ld.so.conf"
    ldconfig -r "$root" 2>/dev/null || true

    (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out"
}
