/*
 * quor_port_failover - show and change how a dual-port board fails over
 * between its ports.
 *
 *   quor_port_failover [-b UNIT] [-0 | -1 | -s | -r 0|1]
 *
 * The firmware keeps two words behind the board's vendor-specific
 * capability window (mode 12): the configuration (RARP after a switch-over,
 * port priority) and the status (active port, both links).  Nothing is
 * mapped; every access is a configuration cycle.
 */
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "uba.h"
#include "zal_parse.h"

/* Words of window mode 12, chosen by the address register. */
enum { FO_CONFIG = 0, FO_STATUS = 1 };

#define FO_CFG_RARP 0x1u
#define FO_CFG_PRIO_SHIFT 1
#define FO_CFG_PRIO_MASK (3u << FO_CFG_PRIO_SHIFT)
#define FO_ST_ACTIVE 0x3u
#define FO_ST_P0_LINK 0x4u
#define FO_ST_P1_LINK 0x8u

/* Older windows have no failover words. */
#define FO_MIN_VERSION 2

static const char *const prio_str[4] = {"P0", "P1", "symmetric", "unknown"};

static void usage(const char *prog)
{
    fprintf(stderr,
            "%s [ -b<unit> ] [ -0 | -1 | -s | -r<0|1> ]\n"
            "\t Options:\n"
            "\t  -b <unit>: uses NIC/Controller rank #unit (default 0)\n"
            "\t  -0: set P0 as primary link for failover purposes (P1 is backup-only)\n"
            "\t  -1: set P1 as primary link for failover purposes (P0 is backup-only)\n"
            "\t  -s: symmetric failover (only switch link if current port is down\n"
            "\t  -r<0|1>: disable/enable sending a rarp pkt on failover\n"
            "\t\t   (to update switches tables)\n"
            "\n"
            "\t With no option (other than -b<unit), only display settings/status\n"
            "\n",
            prog);
    exit(1);
}


static uint32_t fo_read(uba_nic *nic, int vs, uint32_t word)
{
    uba_pci_write_long(nic, vs + UBA_VS_ADDR, word);
    return uba_pci_read_long(nic, vs + UBA_VS_DATA);
}

/* Prints the status and returns the configuration word; the address
 * register is left on the configuration word. */
static uint32_t ethport_stat(uba_nic *nic, int vs)
{
    uint32_t st = fo_read(nic, vs, FO_STATUS);
    uint32_t cfg = fo_read(nic, vs, FO_CONFIG);
    unsigned active = st & FO_ST_ACTIVE;

    printf("Currently active-port: %s\n", active == 0 ? "P0" : active == 1 ? "P1" : "disabled");
    printf("Rarp-on-failover: %s\n", (cfg & FO_CFG_RARP) ? "enabled" : "disabled");
    printf("Port-priority: %s\n", prio_str[(cfg & FO_CFG_PRIO_MASK) >> FO_CFG_PRIO_SHIFT]);
    printf("P0-link is %s\n", (st & FO_ST_P0_LINK) ? "UP" : "DOWN");
    printf("P1-link is %s\n", (st & FO_ST_P1_LINK) ? "UP" : "DOWN");
    printf("\n");
    return cfg;
}

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    int unit = 0;
    int prio = -1; /* none given */
    int rarp = -1;
    int c;

    opterr = 0; /* the usage is the one message */
    while ((c = getopt(argc, argv, "b:01sr:")) != -1) {
        switch (c) {
        case 'b': {
            /* Decimal digits only, within an int: anything else would
             * otherwise open board 0 and change the wrong board's settings. */
            unsigned long long v = 0;
            if (zal_parse_whole(optarg, 10, '\0', INT_MAX, &v, NULL) != 0) usage(prog);
            unit = (int)v;
            break;
        }
        case '0': prio = 0; break;
        case '1': prio = 1; break;
        case 's': prio = 2; break;
        case 'r':
            /* Only the RARP bit: a wider value would reach the priority bits. */
            if ((optarg[0] != '0' && optarg[0] != '1') || optarg[1] != '\0') usage(prog);
            rarp = optarg[0] - '0';
            break;
        default: usage(prog);
        }
    }
    if (optind != argc) usage(prog);

    uba_nic *nic = uba_open(unit, UBA_KV, UBA_BAR_SKIP);
    handle_error_func(nic->cfg_cap[UBA_VS_CAP_ID] == 0, __FILE__, __LINE__,
                      "Board %d has no vendor-specific capability: its failover settings are out of reach",
                      unit);
    int vs = uba_vs_offset(nic);

    /* Checked before the first write: an older firmware's mode 12 may mean
     * something else. */
    int version = uba_pci_read_byte(nic, vs + UBA_VS_VERSION);
    handle_error_func(version < FO_MIN_VERSION, __FILE__, __LINE__,
                      "Firmware with no kvport configurability, vs_cap version=%d\n", version);

    uba_pci_write_byte(nic, vs + UBA_VS_MODE, UBA_VS_MODE_FAILOVER);
    uint32_t cfg = ethport_stat(nic, vs);
    uint32_t next = cfg;
    if (rarp >= 0) {
        printf("Setting rarp=%d\n", rarp);
        next = (next & ~FO_CFG_RARP) | (uint32_t)rarp;
    }
    if (prio >= 0) {
        printf("Setting prio=%s\n", prio_str[prio]);
        next = (next & ~FO_CFG_PRIO_MASK) | (uint32_t)prio << FO_CFG_PRIO_SHIFT;
    }
    if (rarp >= 0 || prio >= 0) {
        uba_pci_write_long(nic, vs + UBA_VS_DATA, next);
        printf("\nNew status after settings change:\n");
        ethport_stat(nic, vs);
    }
    free(nic);
    return 0;
}
