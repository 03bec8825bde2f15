#include "driver/driver.h"
#include "platform/console.h"
#include "platform/sys.h"

#include <cstdio>
#include <cstring>

int stopmainapp() {
    char path[50];
    char command[50];
    char cmdline[50];

    sys::Dir *proc = sys::opendir("/proc");
    if (proc == nullptr) {
        write_all(2, "can not open directory /proc\n", 29);
        return -1;
    }
    sys::chdir("/proc");
    while (sys::DirEntry *entry = sys::readdir(proc)) {
        const char *name = entry->d_name;
        size_t digits = 0;
        while (name[digits] >= '0' && name[digits] <= '9')
            ++digits;
        if (name[digits] != '\0' || digits == 0)
            continue;
        // A process id has at most ten digits; the precision keeps any
        // name inside the 50-byte buffers.
        memset(path, 0, sizeof path);
        snprintf(path, sizeof path, "/proc/%.20s", name);
        memset(command, 0, sizeof command);
        snprintf(command, sizeof command, "kill -9 %.20s\n", name);
        strncat(path, "/cmdline", sizeof path - strlen(path) - 1);
        int fd = sys::open(path, O_RDONLY);
        if (fd < 0) {
            // The process ended after it was listed; the one we look for
            // may still come later in the listing.
            say("can not open %s \n", path);
            continue;
        }
        memset(cmdline, 0, sizeof cmdline);
        sys::read(fd, cmdline, 10);
        sys::close(fd);
        if (strcmp(cmdline, "./vexmain") == 0) {
            sys::system(command);
            sys::closedir(proc);
            return 0;
        }
    }
    sys::closedir(proc);
    return 0;
}
