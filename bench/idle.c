/* SPDX-License-Identifier: MIT */
/* kividle: the smallest program that waits as the monitor waits, blocked in pselect on a pipe
   that never becomes readable. Linked statically; its resident size is the yardstick of the
   monitor's. */
#include <sys/select.h>
#include <unistd.h>

int main(void) {
    int p[2];
    if (pipe(p) != 0) return 1;
    for (;;) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(p[0], &ready);
        pselect(p[0] + 1, &ready, 0, 0, 0, 0);
    }
}
