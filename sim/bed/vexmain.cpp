// The board's main application as the kernel test bed starts it: a process
// whose command line is "./vexmain", doing nothing until it is killed, for
// stopmainapp to find through the real /proc.
#include <unistd.h>

int main() {
    for (;;)
        pause();
}
