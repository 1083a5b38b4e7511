# Sourced by tests/kernel/run.
#
# fixSimulators GPIO_SIM_C IRQ_SIM_C   mends, in copies of Linux 6.1's
#                                       gpio-sim.c and irq_sim.c, how a
#                                       simulated chip is taken away
#
# When a gpio-sim chip goes while a line of it is armed for edges (a
# program's request still open, as an interrupt worker's is), 6.1 frees
# the interrupt's descriptor and the simulator's state under the handler
# still installed; closing that request later writes to freed memory, and
# the kernel falls over some time after. Our simulators keep whatever an
# interrupt still uses (a few bytes each time), so that a test may take a
# chip away and bring it back as a board's hot-plugged chip would.
fixSimulators() {
    sed -i 's/^\t\tirq_dispose_mapping(irq_find_mapping(chip->irq_sim, i));$/\t\tif (!irq_has_action(irq_find_mapping(chip->irq_sim, i)))\n\t\t\tirq_dispose_mapping(irq_find_mapping(chip->irq_sim, i));/' "$1"
    perl -0pi -e 's/(void irq_domain_remove_sim\(struct irq_domain \*domain\)\n\{\n\tstruct irq_sim_work_ctx \*work_ctx = domain->host_data;\n)/$1\tunsigned int hwirq, virq;\n\n\tfor (hwirq = 0; hwirq < work_ctx->irq_count; hwirq++) {\n\t\tvirq = irq_find_mapping(domain, hwirq);\n\t\tif (virq && irq_has_action(virq))\n\t\t\treturn;\n\t}\n/' "$2"
    grep -q 'if (!irq_has_action(irq_find_mapping' "$1" && grep -q 'if (virq && irq_has_action(virq))' "$2" || {
        echo "tests/kernel: gpio-sim.c or irq_sim.c is not as expected" >&2
        return 1
    }
}
