/*
 * kpt_hello - initialises the capture library against the driver and prints
 * what the driver reports about itself.  A first check that an installation
 * (or a simulator) works.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "kpt.h"
#include "quor_io.h"
#include "zal_internal.h"

int main(void)
{
    int rc = kpt_init(KPT_API_VERSION);
    if (rc != 0) {
        errno = rc;
        perror("kpt_init");
        return 1;
    }

    zal_handle_t h;
    rc = zal_open_any_board(&h, QUOR_PRODUCT_KPT);
    if (rc != 0) {
        fprintf(stderr, "kpt_hello: cannot open a capture device: %s\n", strerror(rc));
        return 1;
    }
    quor_get_version_t v;
    uint32_t boards = 0;
    memset(&v, 0, sizeof v);
    rc = zal_ioctl(h, (int)QUOR_GET_VERSION, &v, sizeof v);
    if (rc == 0) rc = zal_ioctl(h, (int)QUOR_GET_BOARD_COUNT, &boards, sizeof boards);
    zal_close(h);
    if (rc != 0) {
        fprintf(stderr, "kpt_hello: driver query failed: %s\n", strerror(rc));
        return 1;
    }
    v.version_str[sizeof v.version_str - 1] = '\0';
    v.build_str[sizeof v.build_str - 1] = '\0';
    printf("kpt library API %#06x initialised\n", kpt_version_api());
    printf("driver interface %u.%u, version %s\n", v.driver_api_magic >> 8,
           v.driver_api_magic & 0xff, v.version_str);
    printf("driver build %s\n", v.build_str);
    printf("%u capture port%s\n", boards, boards == 1 ? "" : "s");
    return 0;
}
