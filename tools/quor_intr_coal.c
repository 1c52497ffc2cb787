/*
 * quor_intr_coal - read or set the interrupt coalescing delay the driver
 * applies to a board.
 *
 *   quor_intr_coal [-b BOARD] [-s DELAY]
 *
 * BOARD is a board number, a MAC address or its trailing part, or a host
 * interface name (default: board 0).  Talks to the driver only.
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "quor_io.h"
#include "zal_internal.h"
#include "zal_parse.h"

static void usage(const char *prog)
{
    fprintf(stderr, "Usage: %s [args]\n", prog);
    fprintf(stderr, "-b - Board mac or number [0]\n");
    fprintf(stderr, "-s - Set interrupt coalescing delay\n");
    fprintf(stderr, "-h - Help\n");
    exit(1);
}


int main(int argc, char **argv)
{
    const char *prog = argv[0];
    char *board = NULL;
    int set = 0;
    uint32_t delay = 0;
    int c;

    opterr = 0; /* the usage is the one message */
    while ((c = getopt(argc, argv, "s:b:")) != -1) {
        switch (c) {
        case 'b': board = optarg; break;
        case 's': {
            /* A whole decimal number from 0 to 4294967295, nothing else: a
             * typing slip must not turn coalescing off. */
            unsigned long long v = 0;
            if (zal_parse_whole(optarg, 10, '\0', 0xffffffffull, &v, NULL) != 0) usage(prog);
            delay = (uint32_t)v;
            set = 1;
            break;
        }
        default: usage(prog);
        }
    }
    if (optind != argc) usage(prog);

    uint8_t product = 0;
    int unit = 0;
    if (zal_translate_to_product(board, &product, &unit) != 0) {
        printf("Couldn't find board %s\n", board ? board : "0");
        return 1;
    }

    zal_handle_t h = -1;
    int rc = zal_open(unit, -1, &h, product);
    if (rc != 0) {
        errno = rc;
        perror("Cannot open board");
        return 1;
    }

    quor_intr_coal_t ic;
    memset(&ic, 0, sizeof ic);
    ic.board = (uint32_t)unit;
    ic.delay = delay;
    rc = zal_ioctl(h, (int)(set ? QUOR_SET_INTR_COAL : QUOR_GET_INTR_COAL), &ic, sizeof ic);
    if (rc != 0) {
        errno = rc;
        perror(set ? "Cannot set interrupt coalescing" : "Cannot get interrupt coalescing");
        zal_close(h);
        return 1;
    }

    quor_get_nic_id_t id;
    memset(&id, 0, sizeof id);
    id.board = (uint32_t)unit;
    rc = zal_ioctl(h, (int)QUOR_GET_NIC_ID, &id, sizeof id);
    if (rc != 0) {
        errno = rc;
        perror("Cannot get driver nicid");
        zal_close(h);
        return 1;
    }

    char mac[18];
    zal_nic_id_to_str(mac, id.nic_id, sizeof mac);
    printf("Interrupt coalescing delay is %u for board %s\n", ic.delay, mac);
    zal_close(h);
    return 0;
}
