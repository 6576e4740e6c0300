/* Preloaded into wine while the Windows tests run. Linux pseudo-terminals have no modem lines,
 * and wine polls them while a WaitCommEvent is pending: every failing poll aborts the wait with
 * ERROR_OPERATION_ABORTED. On pty slaves this library answers the modem-line ioctls as a serial
 * port with a connected peer would (CTS, DSR and DCD on; DTR and RTS as last set), the interrupt
 * counters as all zero and the line status as "transmitter empty". Every other descriptor and
 * request goes to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

typedef int (*ioctl_function)(int, unsigned long, ...);

/* Unix98 pty slaves use the character majors 136 to 143 (/dev/pts). */
static int is_pty_slave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

/* DTR and RTS per pty, by minor number; a new pty starts with both on. */
enum
{
    kTrackedPtys = 4096
};
static int lines_off[kTrackedPtys];
static pthread_mutex_t lines_lock = PTHREAD_MUTEX_INITIALIZER;

static int pty_index(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    unsigned int index = (major(st.st_rdev) - 136) * 256u + minor(st.st_rdev);
    return index < kTrackedPtys ? (int)index : -1;
}

/* The pty peer can take a port's modem lines away again (a file nomodem-INDEX in the folder
 * MORVANE_PTY_SHIM_FLAGS), so that a test sees wine's waits fail as on a plain pty. */
static int modem_lines_taken_away(int fd)
{
    const char* folder = getenv("MORVANE_PTY_SHIM_FLAGS");
    const int index = pty_index(fd);
    if (!folder || index < 0)
        return 0;
    char path[4096];
    snprintf(path, sizeof path, "%s/nomodem-%d", folder, index);
    return access(path, F_OK) == 0;
}

static int answer_modem_request(int fd, unsigned long request, void* argument)
{
    const int index = pty_index(fd);
    const int settable = TIOCM_DTR | TIOCM_RTS;
    int* value = argument;
    pthread_mutex_lock(&lines_lock);
    int off = index >= 0 ? lines_off[index] : 0;
    switch (request) {
    case TIOCMGET:
        *value = (settable & ~off) | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        break;
    case TIOCMSET:
        off = settable & ~*value;
        break;
    case TIOCMBIS:
        off &= ~(*value & settable);
        break;
    case TIOCMBIC:
        off |= *value & settable;
        break;
    }
    if (index >= 0)
        lines_off[index] = off;
    pthread_mutex_unlock(&lines_lock);
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_function next_ioctl;
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    if (!next_ioctl) {
        void* symbol = dlsym(RTLD_NEXT, "ioctl");
        memcpy(&next_ioctl, &symbol, sizeof next_ioctl); /* ISO C has no object-to-function cast */
    }

    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        if (argument && is_pty_slave(fd) && !modem_lines_taken_away(fd))
            return answer_modem_request(fd, request, argument);
        break;
    case TIOCGICOUNT:
        if (argument && is_pty_slave(fd)) {
            memset(argument, 0, sizeof(struct serial_icounter_struct));
            return 0;
        }
        break;
    case TIOCSERGETLSR:
        if (argument && is_pty_slave(fd)) {
            *(int*)argument = TIOCSER_TEMT;
            return 0;
        }
        break;
    }
    return next_ioctl(fd, request, argument);
}
