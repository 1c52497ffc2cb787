/*
 * A C application that uses only the public header: both spellings of every
 * public record, the enumerations, and a few calls.  Built by the test suite
 * with a C compiler (as C) and with g++ (as the documented link line does).
 */
#include <stdio.h>
#include <string.h>

#include "kpt.h"

int main(void)
{
    struct kpt_recv_req a;
    kpt_recv_req b;
    struct kpt_ifaddrs *ifa = NULL;
    kpt_ifaddrs *ifb = NULL;
    struct kpt_ring_stats rs;
    kpt_ring_stats rs2;
    struct kpt_ring_qinfo qi;
    kpt_ring_qinfo qi2;
    struct kpt_ring_portinfo pi;
    struct kpt_inject_stats is;
    kpt_inject_stats is2;
    struct kpt_pkt_fragment fr;
    kpt_pkt_fragment fr2;
    struct kpt_rss_params rp;
    kpt_rss_params rp2;
    kpt_param_keyval kv;
    kpt_handle_type ht = KPT_H_RING;
    kpt_link_state ls = KPT_LINK_UP;
    kpt_timesource_state ts = KPT_TIMESOURCE_PPS;
    kpt_rss_params_mode rm = KPT_RSS_FUNCTION;
    kpt_handle_t h = NULL;
    int rc;

    memset(&a, 0, sizeof a);
    memset(&b, 0, sizeof b);
    memset(&rs, 0, sizeof rs);
    memset(&rs2, 0, sizeof rs2);
    memset(&qi, 0, sizeof qi);
    memset(&qi2, 0, sizeof qi2);
    memset(&pi, 0, sizeof pi);
    memset(&is, 0, sizeof is);
    memset(&is2, 0, sizeof is2);
    memset(&fr, 0, sizeof fr);
    memset(&fr2, 0, sizeof fr2);
    memset(&rp, 0, sizeof rp);
    memset(&rp2, 0, sizeof rp2);
    memset(&kv, 0, sizeof kv);
    rp.mode = KPT_RSS_FLAGS;
    rp.params.rss_flags = KPT_RSS_IP | KPT_RSS_SRC_PORT;
    kv.key = KPT_PARAM_NUM_RINGS;
    kv.val.num_rings = 2;
    (void)ifa;
    (void)ifb;
    (void)h;

    printf("api %#06x record %u\n", kpt_version_api(), (unsigned)sizeof(kpt_recv_req));
    rc = kpt_init(KPT_API_VERSION);
    printf("init %d types %d %d %d %d\n", rc, (int)ht, (int)ls, (int)ts, (int)rm);
    return kpt_version_api() == KPT_API_VERSION ? 0 : 1;
}
