// SPDX-License-Identifier: GPL-2.0-only
/*
 * Tamper switch of the unit's enclosure, as the character device /dev/cr_tampsw.
 *
 * The switch is one GPIO line from the device tree, active while the enclosure is open. It is
 * sampled once every polling period and debounced: a new level counts once it has been seen on
 * TAMPSW_STABLE_SAMPLES samples in a row. Every change to "open" queues one event byte 1; a
 * read returns one queued byte. Sampling runs from probe to removal, whether or not the device
 * is open, so an opening while nobody listens is kept for the next reader.
 *
 * The queue is bounded and never loses an opening: when it is full, a new opening is merged
 * into the newest entry, which then reads 1.
 *
 * One opener at a time: a second open fails with EBUSY, so no other process can take an event
 * away from the monitor.
 */

#include <linux/debugfs.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/gpio/consumer.h>
#include <linux/jiffies.h>
#include <linux/miscdevice.h>
#include <linux/mod_devicetable.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/uaccess.h>
#include <linux/wait.h>
#include <linux/workqueue.h>

/* The request number the unit's software uses; its argument points to one byte. */
#define CR_SETTPPOLLTM 3

#define TAMPSW_QUEUE_LEN 16
#define TAMPSW_STABLE_SAMPLES 2
/* Milliseconds, until a user sets the period; the monitor sets '2' (0x32), 50 ms. */
#define TAMPSW_DEFAULT_POLL_MS 100

struct tampsw {
	struct miscdevice misc;
	struct gpio_desc *gpio;
	struct delayed_work poll_work;
	wait_queue_head_t wait;
	unsigned long busy;

	/* Everything below is under lock. */
	struct mutex lock;
	u8 queue[TAMPSW_QUEUE_LEN];
	u32 head;
	u32 count;
	bool opened;		/* debounced state: the enclosure is open */
	u32 differing;		/* samples in a row that disagree with it */
	u8 poll_ms;		/* polling period, the value last set */

	/* Debug interface: counts, and faults the switch itself cannot produce. */
	struct dentry *debugfs;
	u32 opens;
	u32 ioctls;
	u32 reads;
	u32 closes;
	bool ioctl_fail;
	u32 read_fail;
	u32 eof;
};

static struct tampsw *file_tampsw(struct file *file)
{
	return container_of(file->private_data, struct tampsw, misc);
}

static bool tampsw_readable(struct tampsw *ts)
{
	return READ_ONCE(ts->count) || READ_ONCE(ts->read_fail) ||
	       READ_ONCE(ts->eof);
}

/* Called with lock held. */
static void tampsw_queue(struct tampsw *ts, u8 event)
{
	if (ts->count < TAMPSW_QUEUE_LEN) {
		ts->queue[(ts->head + ts->count) % TAMPSW_QUEUE_LEN] = event;
		ts->count++;
	} else if (event == 1) {
		ts->queue[(ts->head + ts->count - 1) % TAMPSW_QUEUE_LEN] = 1;
	}
	wake_up_interruptible(&ts->wait);
}

static void tampsw_sample(struct work_struct *work)
{
	struct tampsw *ts = container_of(to_delayed_work(work), struct tampsw,
					 poll_work);
	int level = gpiod_get_value_cansleep(ts->gpio);
	unsigned long period;

	mutex_lock(&ts->lock);
	/* A line that cannot be read keeps the state it had. */
	if (level < 0 || !!level == ts->opened) {
		ts->differing = 0;
	} else if (++ts->differing >= TAMPSW_STABLE_SAMPLES) {
		ts->differing = 0;
		ts->opened = level;
		if (ts->opened)
			tampsw_queue(ts, 1);
	}
	period = msecs_to_jiffies(ts->poll_ms);
	mutex_unlock(&ts->lock);
	schedule_delayed_work(&ts->poll_work, period);
}

static int tampsw_open(struct inode *inode, struct file *file)
{
	struct tampsw *ts = file_tampsw(file);

	if (test_and_set_bit(0, &ts->busy))
		return -EBUSY;
	mutex_lock(&ts->lock);
	ts->opens++;
	mutex_unlock(&ts->lock);
	return nonseekable_open(inode, file);
}

static int tampsw_release(struct inode *inode, struct file *file)
{
	struct tampsw *ts = file_tampsw(file);

	mutex_lock(&ts->lock);
	ts->closes++;
	mutex_unlock(&ts->lock);
	clear_bit(0, &ts->busy);
	return 0;
}

static ssize_t tampsw_read(struct file *file, char __user *buf, size_t len,
			   loff_t *ppos)
{
	struct tampsw *ts = file_tampsw(file);
	ssize_t ret;

	if (!len)
		return 0;
	mutex_lock(&ts->lock);
	ts->reads++;
	while (!tampsw_readable(ts)) {
		mutex_unlock(&ts->lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		if (wait_event_interruptible(ts->wait, tampsw_readable(ts)))
			return -ERESTARTSYS;
		mutex_lock(&ts->lock);
	}
	if (ts->read_fail) {
		ts->read_fail--;
		ret = -EIO;
	} else if (ts->eof) {
		ts->eof--;
		ret = 0;
	} else if (put_user(ts->queue[ts->head], buf)) {
		ret = -EFAULT;
	} else {
		ts->head = (ts->head + 1) % TAMPSW_QUEUE_LEN;
		ts->count--;
		ret = 1;
	}
	mutex_unlock(&ts->lock);
	return ret;
}

static __poll_t tampsw_poll(struct file *file, poll_table *wait)
{
	struct tampsw *ts = file_tampsw(file);

	poll_wait(file, &ts->wait, wait);
	return tampsw_readable(ts) ? EPOLLIN | EPOLLRDNORM : 0;
}

/*
 * CR_SETTPPOLLTM: the byte is the polling period in milliseconds (1 to 255); 0 is refused. The
 * new period applies from the next sample on.
 */
static long tampsw_ioctl(struct file *file, unsigned int cmd,
			 unsigned long arg)
{
	struct tampsw *ts = file_tampsw(file);
	long ret = 0;
	u8 value;

	if (cmd != CR_SETTPPOLLTM)
		return -ENOTTY;
	if (get_user(value, (u8 __user *)arg))
		return -EFAULT;
	mutex_lock(&ts->lock);
	ts->ioctls++;
	if (ts->ioctl_fail)
		ret = -EIO;
	else if (!value)
		ret = -EINVAL;
	else
		ts->poll_ms = value;
	mutex_unlock(&ts->lock);
	if (!ret)
		mod_delayed_work(system_wq, &ts->poll_work,
				 msecs_to_jiffies(value));
	return ret;
}

static const struct file_operations tampsw_fops = {
	.owner = THIS_MODULE,
	.open = tampsw_open,
	.release = tampsw_release,
	.read = tampsw_read,
	.poll = tampsw_poll,
	.unlocked_ioctl = tampsw_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
	.llseek = no_llseek,
};

static struct tampsw *dev_tampsw(struct device *dev)
{
	struct miscdevice *misc = dev_get_drvdata(dev);

	return container_of(misc, struct tampsw, misc);
}

static ssize_t poll_time_show(struct device *dev,
			      struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%u\n", READ_ONCE(dev_tampsw(dev)->poll_ms));
}
static DEVICE_ATTR_RO(poll_time);

static ssize_t state_show(struct device *dev, struct device_attribute *attr,
			  char *buf)
{
	return sysfs_emit(buf, "%s\n",
			  READ_ONCE(dev_tampsw(dev)->opened) ? "open" : "closed");
}
static DEVICE_ATTR_RO(state);

static struct attribute *tampsw_attrs[] = {
	&dev_attr_poll_time.attr,
	&dev_attr_state.attr,
	NULL
};
ATTRIBUTE_GROUPS(tampsw);

/* A fault that makes reads fail or end must also wake a waiting reader. */
static int tampsw_set_fault(struct tampsw *ts, u32 *fault, u64 val)
{
	mutex_lock(&ts->lock);
	*fault = min_t(u64, val, U32_MAX);
	wake_up_interruptible(&ts->wait);
	mutex_unlock(&ts->lock);
	return 0;
}

static int read_fail_get(void *data, u64 *val)
{
	*val = READ_ONCE(((struct tampsw *)data)->read_fail);
	return 0;
}

static int read_fail_set(void *data, u64 val)
{
	struct tampsw *ts = data;

	return tampsw_set_fault(ts, &ts->read_fail, val);
}
DEFINE_DEBUGFS_ATTRIBUTE(read_fail_fops, read_fail_get, read_fail_set,
			 "%llu\n");

static int eof_get(void *data, u64 *val)
{
	*val = READ_ONCE(((struct tampsw *)data)->eof);
	return 0;
}

static int eof_set(void *data, u64 val)
{
	struct tampsw *ts = data;

	return tampsw_set_fault(ts, &ts->eof, val);
}
DEFINE_DEBUGFS_ATTRIBUTE(eof_fops, eof_get, eof_set,
			 "%llu\n");

/* Every byte written is queued as one event, for values the switch never gives. */
static ssize_t inject_write(struct file *file, const char __user *buf,
			    size_t len, loff_t *ppos)
{
	struct tampsw *ts = file->private_data;
	size_t done;
	u8 event;

	for (done = 0; done < len; done++) {
		if (get_user(event, (const u8 __user *)buf + done))
			return done ? done : -EFAULT;
		mutex_lock(&ts->lock);
		tampsw_queue(ts, event);
		mutex_unlock(&ts->lock);
	}
	return len;
}

static const struct file_operations inject_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = inject_write,
	.llseek = no_llseek,
};

static void tampsw_debugfs_init(struct tampsw *ts)
{
	struct dentry *dir = debugfs_create_dir("cr_tampsw", NULL);

	ts->debugfs = dir;
	debugfs_create_u32("opens", 0444, dir, &ts->opens);
	debugfs_create_u32("ioctls", 0444, dir, &ts->ioctls);
	debugfs_create_u32("reads", 0444, dir, &ts->reads);
	debugfs_create_u32("closes", 0444, dir, &ts->closes);
	debugfs_create_u32("queued", 0444, dir, &ts->count);
	debugfs_create_bool("ioctl_fail", 0644, dir, &ts->ioctl_fail);
	debugfs_create_file_unsafe("read_fail", 0644, dir, ts,
				   &read_fail_fops);
	debugfs_create_file_unsafe("eof", 0644, dir, ts,
				   &eof_fops);
	debugfs_create_file("inject", 0200, dir, ts, &inject_fops);
}

static int tampsw_probe(struct platform_device *pdev)
{
	struct device *dev = &pdev->dev;
	struct tampsw *ts;
	int ret;

	ts = devm_kzalloc(dev, sizeof(*ts), GFP_KERNEL);
	if (!ts)
		return -ENOMEM;
	ts->gpio = devm_gpiod_get(dev, "switch", GPIOD_IN);
	if (IS_ERR(ts->gpio))
		return dev_err_probe(dev, PTR_ERR(ts->gpio),
				     "no switch line\n");
	mutex_init(&ts->lock);
	init_waitqueue_head(&ts->wait);
	INIT_DELAYED_WORK(&ts->poll_work, tampsw_sample);
	ts->poll_ms = TAMPSW_DEFAULT_POLL_MS;
	ts->misc.minor = MISC_DYNAMIC_MINOR;
	ts->misc.name = "cr_tampsw";
	ts->misc.fops = &tampsw_fops;
	ts->misc.parent = dev;
	ts->misc.groups = tampsw_groups;
	ts->misc.mode = 0600;
	platform_set_drvdata(pdev, ts);

	/* An enclosure found open at start is reported like any opening. */
	schedule_delayed_work(&ts->poll_work, 0);
	ret = misc_register(&ts->misc);
	if (ret) {
		cancel_delayed_work_sync(&ts->poll_work);
		return ret;
	}
	tampsw_debugfs_init(ts);
	return 0;
}

/*
 * Runs at unload only (the driver has no bind files), when no file is open: each open file
 * holds the module. So no reader can be waiting; the sampling work is the last user.
 */
static int tampsw_remove(struct platform_device *pdev)
{
	struct tampsw *ts = platform_get_drvdata(pdev);

	debugfs_remove_recursive(ts->debugfs);
	misc_deregister(&ts->misc);
	cancel_delayed_work_sync(&ts->poll_work);
	return 0;
}

static const struct of_device_id tampsw_of_match[] = {
	{ .compatible = "kiv,tamper-switch" },
	{ }
};
MODULE_DEVICE_TABLE(of, tampsw_of_match);

static struct platform_driver tampsw_driver = {
	.probe = tampsw_probe,
	.remove = tampsw_remove,
	.driver = {
		.name = "cr_tampsw",
		.of_match_table = tampsw_of_match,
		.suppress_bind_attrs = true,
	},
};
module_platform_driver(tampsw_driver);

MODULE_DESCRIPTION("Enclosure tamper switch as /dev/cr_tampsw");
MODULE_LICENSE("GPL");
