#define _GNU_SOURCE
#include "PtyModemLines.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_function)(int, unsigned long, ...);

enum
{
    kSettable = TIOCM_DTR | TIOCM_RTS,
    kTrackedPtys = 4096
};

static int lines_on[kTrackedPtys]; /* DTR and RTS per pty slave, by index */
static pthread_mutex_t lines_lock = PTHREAD_MUTEX_INITIALIZER;

/* Unix98 pty slaves use the character majors 136 to 143 (/dev/pts); -1 for anything else. */
static int pty_index(const struct stat* st)
{
    if (!S_ISCHR(st->st_mode) || major(st->st_rdev) < 136 || major(st->st_rdev) > 143)
        return -1;
    const unsigned int index = (major(st->st_rdev) - 136) * 256u + minor(st->st_rdev);
    return index < kTrackedPtys ? (int)index : -1;
}

static int pty_index_of_path(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? pty_index(&st) : -1;
}

int ptyModemLines(const char* slavePath)
{
    const int index = pty_index_of_path(slavePath);
    if (index < 0)
        return -1;
    pthread_mutex_lock(&lines_lock);
    const int lines = lines_on[index];
    pthread_mutex_unlock(&lines_lock);
    return lines;
}

int setPtyModemLines(const char* slavePath, int lines)
{
    const int index = pty_index_of_path(slavePath);
    if (index < 0)
        return -1;
    pthread_mutex_lock(&lines_lock);
    lines_on[index] = lines & kSettable;
    pthread_mutex_unlock(&lines_lock);
    return 0;
}

static void answer(int index, unsigned long request, int* value)
{
    pthread_mutex_lock(&lines_lock);
    switch (request) {
    case TIOCMGET:
        *value = lines_on[index] | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        break;
    case TIOCMSET:
        lines_on[index] = *value & kSettable;
        break;
    case TIOCMBIS:
        lines_on[index] |= *value & kSettable;
        break;
    case TIOCMBIC:
        lines_on[index] &= ~(*value & kSettable);
        break;
    }
    pthread_mutex_unlock(&lines_lock);
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

    if (argument &&
        (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
        struct stat st;
        const int index = fstat(fd, &st) == 0 ? pty_index(&st) : -1;
        if (index >= 0) {
            answer(index, request, argument);
            return 0;
        }
    }
    return next_ioctl(fd, request, argument);
}
