/*
 * A C application of the board access library: the public records and
 * enumerations by their C names, and a few calls that need no board.
 */
#include <stdio.h>
#include <string.h>

#include "uba.h"

int main(void)
{
    struct pci_dev d;
    pci_dev_t dp = &d;
    pci_filter f;
    uba_nic nic;
    nram_t n;
    uba_nram n2;
    uba_criteria_t c;
    uba_nic_type_t t = UBA_KV;
    nram_type nt = NRAM_CFG_PIO;
    char buf[64];
    struct sockaddr_in in;

    memset(&d, 0, sizeof d);
    memset(&nic, 0, sizeof nic);
    memset(&in, 0, sizeof in);
    c.str = "10e8:8043";
    uba_make_filter(PCI_SELECT_ID, c.str, &f);
    d.vendor_id = 0x10e8;
    d.device_id = 0x8043;
    in.sin_family = AF_INET;
    nram_open_pio(&n, buf);
    n2 = n;
    printf("match %d type %d nram %d %d %s\n", pci_filter_match(&f, dp), (int)t, (int)nt, (int)n2.type,
           straddr((struct sockaddr *)&in, sizeof in, buf));
    return uba_xget_usecs() > 0 ? 0 : 1;
}
