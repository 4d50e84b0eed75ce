/* Loaded with LD_PRELOAD by the VM test, it makes hidraw behave as the
   updater may meet it elsewhere; BRISKLINK_HIDRAW_SHIM says how:
     old-kernel  the GET_REPORT request (HIDIOCGINPUT) fails with EINVAL, as
                 on a kernel before 5.11, which does not know it;
     short       GET_REPORT answers count one byte (a short answer);
     signals     SIGUSR1 gets a handler that does nothing (with SA_RESTART),
                 so that the test's stream of SIGUSR1 interrupts poll().
   Every other ioctl goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/hidraw.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

static int mode(const char* name) {
    const char* chosen = getenv("BRISKLINK_HIDRAW_SHIM");
    return chosen && strcmp(chosen, name) == 0;
}

static void ignore(int sig) { (void)sig; }

__attribute__((constructor)) static void start(void) {
    if (!mode("signals")) return;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ignore;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, NULL);
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const unsigned long sizeless = ~((unsigned long)_IOC_SIZEMASK << _IOC_SIZESHIFT);
    if ((request & sizeless) == (HIDIOCGINPUT(0) & sizeless)) {
        if (mode("old-kernel")) {
            errno = EINVAL;
            return -1;
        }
        if (mode("short")) {
            const int n = real(fd, request, argument);
            return n > 1 ? 1 : n;
        }
    }
    return real(fd, request, argument);
}
