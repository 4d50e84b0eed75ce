/* Loaded with LD_PRELOAD by the VM test: the hidraw GET_REPORT request
   (HIDIOCGINPUT) fails with EINVAL, as on a kernel before 5.11, which does
   not know it. Every other ioctl goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/hidraw.h>
#include <stdarg.h>
#include <sys/ioctl.h>

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const unsigned long sizeless = ~((unsigned long)_IOC_SIZEMASK << _IOC_SIZESHIFT);
    if ((request & sizeless) == (HIDIOCGINPUT(0) & sizeless)) {
        errno = EINVAL;
        return -1;
    }
    return real(fd, request, argument);
}
