# Sourced by tests/kernel/run.
#
# buildModules DIR KVER   builds into DIR, against the installed headers of
#                         KVER, the modules Debian's kernel lacks: irq_sim
#                         and gpio-sim from the kernel's own sources
#                         (linux-source-6.1), and pwm-store from here
buildModules() {
    local dir=$1 kver=$2 here src
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    [ -s "$dir/pwm-store.ko" ] && [ -s "$dir/gpio-sim.ko" ] && [ -s "$dir/irq_sim.ko" ] &&
        [ "$dir/pwm-store.ko" -nt "$here/pwm-store.c" ] && [ "$dir/irq_sim.ko" -nt "$here/simfix.sh" ] &&
        return 0

    src=$dir/src
    [ "$dir/irq_sim.ko" -nt "$here/simfix.sh" ] || rm -rf "$src"
    mkdir -p "$src"
    if [ ! -s "$src/gpio-sim.c" ]; then
        tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=3 \
            linux-source-6.1/drivers/gpio/gpio-sim.c linux-source-6.1/drivers/gpio/gpiolib.h \
            linux-source-6.1/kernel/irq/irq_sim.c
        # irq_to_desc is not exported to modules; generic_handle_irq does
        # the same lookup and calls the flow handler (handle_simple_irq).
        sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq(irqnum);/' "$src/irq_sim.c"
        # Built into the kernel it has no module licence of its own.
        printf '\n#include <linux/module.h>\nMODULE_LICENSE("GPL");\n' >>"$src/irq_sim.c"
        grep -q 'generic_handle_irq(irqnum)' "$src/irq_sim.c" || {
            echo "tests/kernel: irq_sim.c is not as expected" >&2
            return 1
        }
        fixSimulators "$src/gpio-sim.c" "$src/irq_sim.c" || return 1
    fi
    cp "$here/pwm-store.c" "$src/"
    printf 'obj-m := irq_sim.o gpio-sim.o pwm-store.o\n' >"$src/Kbuild"
    # gpio-sim needs irq_sim's symbols, built in the same pass.
    make -s -C "/lib/modules/$kver/build" M="$src" -j 2 modules >"$dir/build.log" 2>&1 || {
        cat "$dir/build.log" >&2
        return 1
    }
    for ko in irq_sim gpio-sim pwm-store; do
        strip --strip-debug -o "$dir/$ko.ko" "$src/$ko.ko"
    done
}
