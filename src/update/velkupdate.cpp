// velkupdate: rewrites the Velk's FPGA and MCU firmware while the device runs its bootloader.
// It takes no arguments; any that are given are ignored.
#include "output.h"
#include "run.h"

int main() {
    velk::outputStart();
    return velk::updateRun();
}
