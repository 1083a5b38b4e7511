# Sourced by tests/kernel/run.
#
# fetchKernel DIR KVER   puts Debian's kernel image KVER (vmlinuz) and the
#                        modules the VM loads from it (configfs.ko) in DIR,
#                        from the package downloaded with apt-get: nothing
#                        is installed on this machine for them
fetchKernel() {
    local dir=$1 kver=$2 tmp
    [ -s "$dir/vmlinuz" ] && [ -s "$dir/configfs.ko" ] && return 0
    tmp=$(mktemp -d)
    if ! (cd "$tmp" && apt-get download -qq "linux-image-$kver" >/dev/null 2>&1) &&
       ! (apt-get update -qq && cd "$tmp" && apt-get download -qq "linux-image-$kver" >/dev/null); then
        rm -rf "$tmp"
        echo "tests/kernel: cannot download linux-image-$kver" >&2
        return 1
    fi
    dpkg-deb --fsys-tarfile "$tmp"/linux-image-"$kver"_*.deb |
        tar -x -C "$tmp" "./boot/vmlinuz-$kver" "./lib/modules/$kver/kernel/fs/configfs/configfs.ko"
    mkdir -p "$dir"
    mv "$tmp/lib/modules/$kver/kernel/fs/configfs/configfs.ko" "$dir/configfs.ko"
    mv "$tmp/boot/vmlinuz-$kver" "$dir/vmlinuz"
    rm -rf "$tmp"
}
