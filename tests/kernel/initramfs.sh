# Sourced by tests/kernel/run.
#
# makeInitramfs OUT MODULES BUILD SCRIPT [FILE...]
#   writes OUT, an uncompressed cpio archive holding busybox, /init, the
#   modules in MODULES, pinctl and libvarnel.so from BUILD installed as on a
#   board (/usr/bin, /usr/lib), uapiline, SCRIPT as /kt/script, and each
#   FILE in /kt; every dynamic program comes with the shared libraries ldd
#   names for it

# copyWithLibs ROOT PROGRAM DEST: PROGRAM to ROOT/DEST, with its libraries
# at their own paths under ROOT (libvarnel.so excepted: it is installed
# from the build).
copyWithLibs() {
    local root=$1 prog=$2 dest=$3 lib
    mkdir -p "$root/$(dirname "$dest")"
    cp -L "$prog" "$root/$dest"
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
    local out=$1 modules=$2 build=$3 script=$4 here root applet file
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

    copyWithLibs "$root" "$build/pinctl" /usr/bin/pinctl
    copyWithLibs "$root" "$build/libvarnel.so" /usr/lib/libvarnel.so
    cp "$script" "$root/kt/script"
    for file; do
        case $file in
        *=*) copyWithLibs "$root" "${file#*=}" "${file%%=*}" ;;
        *) cp -L "$file" "$root/kt/" ;;
        esac
    done

    (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out"
}
