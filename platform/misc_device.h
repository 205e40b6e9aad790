// Board-control device /dev/misc0: watchdog, LEDs, backlight.
//
// On a character device the requests are real ioctls. On a regular file
// (the simulated phone) the file is the device's record: every set request
// appends a line "<name> <value>", a get request answers the value of the
// last line of its kind, and a line "fail <name>" makes that request fail
// ("fail <name> N": only its first N times, each recorded as "failed <name>").
#pragma once

#include <sys/ioctl.h>

#define MISC_IOC_MAGIC 'M'
#define MISC_IOCS_WATCHDOG _IOW(MISC_IOC_MAGIC, 5, int)
#define MISC_IOCS_LED _IOW(MISC_IOC_MAGIC, 7, int)
#define MISC_IOCG_LED _IOR(MISC_IOC_MAGIC, 8, int)
#define MISC_IOCS_BKLIGHT _IOW(MISC_IOC_MAGIC, 9, int)
#define MISC_IOCG_BKLIGHT _IOR(MISC_IOC_MAGIC, 10, int)
#define MISC_IOCS_EXT_LED _IOW(MISC_IOC_MAGIC, 17, int)

// A set request: the value itself is the ioctl argument. 0 or -1 (errno set).
int plat_misc_set(int fd, unsigned long request, unsigned int value);
// A get request: the kernel stores the value through the pointer. 0 or -1.
int plat_misc_get(int fd, unsigned long request, unsigned int* value);
