/*
 * kpt_portinfo - opens a port (or, with -a, a mask of ports) with one ring
 * and prints the ring's port information records.
 *
 *   kpt_portinfo [-a] [-b board | -p board]
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "kpt.h"
#include "prog_args.h"

static void usage(const char *prog)
{
    printf("usage: %s [options]\n", prog);
    printf("   -b <board>: Quor10G board number to open\n");
    printf("           -a: use KPT_F_AGGREGATE_PORTMASK\n");
    printf("\n");
    exit(1);
}

/* Prints a failed step with the library's reason; the program's result. */
static int failed(int rc, const char *what)
{
    errno = rc;
    perror(what);
    return -1;
}

int main(int argc, char **argv)
{
    uint32_t port = 0;
    int flags = 0, opt, rc;

    opterr = 0;
    while ((opt = getopt(argc, argv, "ab:p:")) != -1) {
        switch (opt) {
        case 'a': flags |= KPT_F_AGGREGATE_PORTMASK; break;
        case 'b':
        case 'p': port = (uint32_t)prog_number("kpt_portinfo", opt, optarg, 0, UINT32_MAX); break;
        default: usage(argv[0]);
        }
    }
    if (optind < argc) usage(argv[0]);

    if ((rc = kpt_init(8)) != 0) return failed(rc, "kpt_init failed");
    kpt_handle_t h;
    kpt_ring_t r;
    if ((rc = kpt_open(port, 0, NULL, 0, flags, &h)) != 0) return failed(rc, "kpt_open failed");
    if ((rc = kpt_ring_open(h, &r)) != 0) return failed(rc, "kpt_ring_open failed");

    int portcount = 0;
    if ((rc = kpt_ring_portinfo_count(r, &portcount)) != 0)
        return failed(rc, "kpt_ring_portinfo_count failed");
    struct kpt_ring_portinfo *info =
        calloc(portcount > 0 ? (size_t)portcount : 1, sizeof *info);
    if (info == NULL) {
        perror("Failed to allocate memory");
        return -1;
    }
    if ((rc = kpt_ring_portinfo(r, info)) != 0) {
        free(info);
        return failed(rc, "kpt_ring_portinfo failed");
    }
    for (int i = 0; i < portcount; ++i) {
        printf("Port info for ring %d:\n", i);
        printf("  q_size    = 0x%lx\n", (unsigned long)info[i].q_size);
        printf("  portcnt   = %d\n", (int)info[i].portcnt);
        printf("  portmask  = 0x%x\n", (unsigned)info[i].portmask);
        printf("  data_addr = 0x%lx\n", (unsigned long)info[i].data_addr);
        printf("  data_size = 0x%lx\n", (unsigned long)info[i].data_size);
    }
    free(info);

    if ((rc = kpt_ring_close(r)) != 0) return failed(rc, "Can't close ring");
    if ((rc = kpt_close(h)) != 0) return failed(rc, "Can't close port");
    return 0;
}
