// ftq on the board: the product's routines over the real system.
#include "driver/driver.h"
#include "platform/linux_backend.h"

int main(int argc, char **argv) {
    static sys::LinuxBackend linux_backend;
    sys::install(&linux_backend);
    return ftq_main(argc, argv);
}
