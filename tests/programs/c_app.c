/*
 * A C application that uses only the public header: both spellings of every
 * public record, the enumerations, and a few calls.  Built by the test suite
 * with a C compiler (as C) and with g++ (as the documented link line does).
 */
#include <stdio.h>
#include <string.h>

#include "kpt.h"

/*
 * Every function the header declares, by address: linking this table fails
 * when the library lacks one of them.  The test also checks the table
 * against the header's declarations, so a new declaration lands here too.
 */
typedef void (*kpt_fn)(void);
#define FN(f) (kpt_fn)f
static const kpt_fn kpt_functions[] = {
    FN(kpt_version_api),
    FN(kpt_init),
    FN(kpt_set_app_id),
    FN(kpt_open),
    FN(kpt_open_defaults),
    FN(kpt_start),
    FN(kpt_stop),
    FN(kpt_close),
    FN(kpt_netdev_reflect_enable),
    FN(kpt_netdev_reflect),
    FN(kpt_getifaddrs),
    FN(kpt_freeifaddrs),
    FN(kpt_getportmask_valid),
    FN(kpt_getportmask_linkup),
    FN(kpt_get_link_state),
    FN(kpt_get_link_speed),
    FN(kpt_get_injection_speed),
    FN(kpt_get_timesource_state),
    FN(kpt_ring_open),
    FN(kpt_ring_open_id),
    FN(kpt_ring_recv),
    FN(kpt_ring_wait),
    FN(kpt_ring_recv_many),
    FN(kpt_ring_recv_multiple),
    FN(kpt_ring_return_many),
    FN(kpt_ring_recv_qinfo),
    FN(kpt_ring_close),
    FN(kpt_ring_getstats),
    FN(kpt_ring_portinfo_count),
    FN(kpt_ring_portinfo),
    FN(pq_trylock),
    FN(pq_trylock_wait),
    FN(pq_unlock),
    FN(pq_unlock_wake),
    FN(pq_group_lock),
    FN(pq_group_unlock),
    FN(kpt_inject_open),
    FN(kpt_inject_send),
    FN(kpt_inject_send_v),
    FN(kpt_inject_sched),
    FN(kpt_inject_sched_v),
    FN(kpt_inject_getstats),
    FN(kpt_inject_close),
};

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
    kpt__pq_state_rw pq;
    struct kpt__pq_state_rw pq2;
    quor_kpt_pq_group_lock_t gl;
    struct quor_kpt_pq_group_lock gl2;
    unsigned nfn = 0, i;
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
    memset(&pq, 0, sizeof pq);
    memset(&pq2, 0, sizeof pq2);
    gl.port = 0x3;
    gl.timeout_ms = 10;
    gl2 = gl;
    (void)gl2;
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
    for (i = 0; i < sizeof kpt_functions / sizeof kpt_functions[0]; i++)
        nfn += kpt_functions[i] != NULL;
    printf("functions %u records %u %u\n", nfn, (unsigned)sizeof pq, (unsigned)sizeof gl);
    return kpt_version_api() == KPT_API_VERSION ? 0 : 1;
}
