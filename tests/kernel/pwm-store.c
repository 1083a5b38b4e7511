// SPDX-License-Identifier: GPL-2.0
/*
 * A PWM controller with no hardware behind it, for tests: two channels
 * whose apply() only stores the state asked for, so that the PWM sysfs
 * class (export, period, duty_cycle, enable) works and reads back what
 * was applied. It registers on a platform device of its own, named
 * "pwm-store", which /sys/class/pwm/pwmchipN/device points at.
 */
#include <linux/err.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/pwm.h>

static struct platform_device *pwm_store_pdev;
static struct pwm_chip pwm_store_chip;

static int pwm_store_apply(struct pwm_chip *chip, struct pwm_device *pwm,
			   const struct pwm_state *state)
{
	/* The core keeps pwm->state as applied: nothing to program. */
	return 0;
}

static const struct pwm_ops pwm_store_ops = {
	.apply = pwm_store_apply,
	.owner = THIS_MODULE,
};

static int __init pwm_store_init(void)
{
	int ret;

	pwm_store_pdev = platform_device_register_simple("pwm-store", -1, NULL, 0);
	if (IS_ERR(pwm_store_pdev))
		return PTR_ERR(pwm_store_pdev);

	pwm_store_chip.dev = &pwm_store_pdev->dev;
	pwm_store_chip.ops = &pwm_store_ops;
	pwm_store_chip.npwm = 2;
	ret = pwmchip_add(&pwm_store_chip);
	if (ret)
		platform_device_unregister(pwm_store_pdev);
	return ret;
}

static void __exit pwm_store_exit(void)
{
	pwmchip_remove(&pwm_store_chip);
	platform_device_unregister(pwm_store_pdev);
}

module_init(pwm_store_init);
module_exit(pwm_store_exit);
MODULE_DESCRIPTION("PWM controller that stores the applied state, for tests");
MODULE_LICENSE("GPL");
