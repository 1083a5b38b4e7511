# Sourced by tests/kernel/run.
#
# makeInitramfs OUT MODULES STAGE SCRIPT [FILE...]
#   writes OUT, an uncompressed cpio archive holding busybox, /init, the
#   modules in MODULES (none if empty), what STAGE holds as installed
#   (usr/bin/pinctl and its libvarnel.so, from a cmake --install or a
#   package), uapiline, SCRIPT as /kt/script, and each FILE in /kt; every
#   dynamic program comes with the shared libraries it needs, and the
#   loader finds them through an ld.so.cache, as on an installed system
#
# checkNoLibc ROOT
#   fails, naming it, on a shared library or a program with a loader in
#   ROOT (a made root, OUT.d): for a root with no C library at all
#
# For this machine's processor by default; with vmArch=mips, for 32-bit
# big-endian MIPS: MIPS_BUSYBOX and its MIPS_APPLETS (kernel-mips.sh),
# uapiline built with the MIPS C compiler, and the libraries from the MIPS
# C library's folder (mipsLibs), installed in /lib as on a board.
vmArch=${vmArch:-x86_64}
mipsLibs=/usr/mips-linux-gnu/lib

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
# own paths under ROOT (for MIPS, in /lib).
copyLibsOf() {
    local root=$1 prog=$2 lib
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
# libraries it needs, and those they need: the C library's from mipsLibs to
# ROOT/lib, as on a board; others from the lib folder of PROGRAM's own
# prefix (beside its bin) to ROOT/usr/lib, where a board's package puts
# them, beside libvarnel.so (which is excepted: it comes from the stage).
copyMipsLibs() {
    local root=$1 todo=("$2") own file lib from to
    own=$(cd "$(dirname "$2")/.." && pwd)/lib
    lib=$(mips-linux-gnu-readelf -l "$2" | sed -n 's/.*program interpreter: \(.*\)\]$/\1/p')
    if [ -n "$lib" ] && [ ! -e "$root$lib" ]; then
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$mipsLibs/$(basename "$lib")" "$root$lib"
    fi
    mkdir -p "$root/lib" "$root/usr/lib"
    while [ ${#todo[@]} -gt 0 ]; do
        file=${todo[0]}
        todo=("${todo[@]:1}")
        for lib in $(mips-linux-gnu-readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
            [ "$lib" = libvarnel.so ] || [ -e "$root/lib/$lib" ] || [ -e "$root/usr/lib/$lib" ] && continue
            if [ -e "$mipsLibs/$lib" ]; then
                from=$mipsLibs/$lib to=$root/lib/$lib
            elif [ -e "$own/$lib" ]; then
                from=$own/$lib to=$root/usr/lib/$lib
            else
                echo "tests/kernel: $file needs $lib, not in $mipsLibs nor $own" >&2
                return 1
            fi
            cp -L "$from" "$to"
            todo+=("$from")
        done
    done
}

makeInitramfs() {
    local out=$1 modules=$2 stage=$3 script=$4 here root applets applet cc file lib folders
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

    # The loader's cache, of every folder that holds a library (the MIPS
    # root's libraries are where its loader looks by default; a root of
    # static programs has none).
    folders=$(cd "$root" && find . -name '*.so*' -type f | sed 's|^\.||; s|/[^/]*$||' | sort -u)
    if [ "$vmArch" != mips ] && [ -n "$folders" ]; then
        mkdir -p "$root/etc"
        echo "$folders" >"$root/etc/ld.so.conf"
        ldconfig -r "$root" 2>/dev/null || true
    fi

    (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out"
}

checkNoLibc() {
    local root=$1 file
    file=$(cd "$root" && find . -name '*.so' -o -name '*.so.[0-9]*' | head -n 1)
    if [ -n "$file" ]; then
        echo "tests/kernel: the root holds a shared library, ${file#.}" >&2
        return 1
    fi
    for file in $(cd "$root" && find . -type f); do
        [ "$(head -c 4 "$root/$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
        if readelf -l "$root/$file" | grep -q 'program interpreter'; then
            echo "tests/kernel: ${file#.} in the root needs a loader" >&2
            return 1
        fi
    done
}
