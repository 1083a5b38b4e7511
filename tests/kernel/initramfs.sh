# Sourced by tests/kernel/run.
#
# makeInitramfs OUT MODULES BUILD SCRIPT [FILE...]
#   writes OUT, an uncompressed cpio archive holding busybox, /init, the
#   modules in MODULES (none if empty), pinctl and libvarnel.so from BUILD
#   installed as on a board (/usr/bin, /usr/lib), uapiline, SCRIPT as
#   /kt/script, and each FILE in /kt; every dynamic program comes with the
#   shared libraries it needs
#
# For this machine's processor by default; with vmArch=mips, for 32-bit
# big-endian MIPS: MIPS_BUSYBOX and its MIPS_APPLETS (kernel-mips.sh),
# uapiline built with the MIPS C compiler, and the libraries from the MIPS
# C library's folder (mipsLibs), installed in /lib as on a board.
vmArch=${vmArch:-x86_64}
mipsLibs=/usr/mips-linux-gnu/lib

# copyWithLibs ROOT PROGRAM DEST: PROGRAM to ROOT/DEST, with its libraries
# at their own paths under ROOT (libvarnel.so excepted: it is installed
# from the build).
copyWithLibs() {
    local root=$1 prog=$2 dest=$3 lib
    mkdir -p "$root/$(dirname "$dest")"
    cp -L "$prog" "$root/$dest"
    if [ "$vmArch" = mips ]; then
        copyMipsLibs "$root" "$prog"
        return
    fi
    # "libx.so => /path/libx.so (0x...)" and "/lib64/ld-linux... (0x...)"
    for lib in $(ldd "$prog" 2>/dev/null |
                 sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
        case $lib in */libvarnel.so) continue ;; esac
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

# copyMipsLibs ROOT PROGRAM: the MIPS program's interpreter and the
# libraries it needs, and those they need, from mipsLibs to ROOT/lib
# (libvarnel.so excepted).
copyMipsLibs() {
    local root=$1 todo=("$2") file lib
    lib=$(mips-linux-gnu-readelf -l "$2" | sed -n 's/.*program interpreter: \(.*\)\]$/\1/p')
    if [ -n "$lib" ] && [ ! -e "$root$lib" ]; then
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$mipsLibs/$(basename "$lib")" "$root$lib"
    fi
    mkdir -p "$root/lib"
    while [ ${#todo[@]} -gt 0 ]; do
        file=${todo[0]}
        todo=("${todo[@]:1}")
        for lib in $(mips-linux-gnu-readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
            [ "$lib" = libvarnel.so ] || [ -e "$root/lib/$lib" ] && continue
            [ -e "$mipsLibs/$lib" ] || {
                echo "tests/kernel: $file needs $lib, not in $mipsLibs" >&2
                return 1
            }
            cp -L "$mipsLibs/$lib" "$root/lib/$lib"
            todo+=("$mipsLibs/$lib")
        done
    done
}

makeInitramfs() {
    local out=$1 modules=$2 build=$3 script=$4 here root applets applet cc file
    shift 4
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    root=$out.d
    rm -rf "$root"
    mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/lib,dev,proc,sys,tmp,run,root,kt/modules}

    if [ "$vmArch" = mips ]; then
        cp "$MIPS_BUSYBOX" "$root/bin/busybox"
        applets=$(cat "$MIPS_APPLETS")
        cc=mips-linux-gnu-gcc
    else
        cp /bin/busybox "$root/bin/busybox"
        applets=$(/bin/busybox --list-full)
        cc=gcc
    fi
    for applet in $applets; do
        [ -e "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
    done
    cp "$here/init" "$root/init"
    [ -z "$modules" ] || cp "$modules"/*.ko "$root/kt/modules/"
    $cc -O2 -Wall -Wextra -static -o "$root/usr/bin/uapiline" "$here/uapiline.c"

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
