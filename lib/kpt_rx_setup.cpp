/*
 * kpt_rx_setup.cpp - set-up and teardown of a ring on one port: attaching a
 * device file to a ring endpoint of the driver, mapping the regions it shares
 * with the driver and the adapter, checking the state the driver left, and
 * choosing the receive function; closing gives every byte back and unmaps.
 */
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "kpt_ats.h"
#include "kpt_rx.h"

kpt__rx_map kpt_rx_map;

/* Unmaps whatever the ring has mapped and forgets the addresses. */
void kpt__rx_unmap(kpt__rx *rx)
{
    /* The printer and the signal handler read the mapped state. */
    kpt__rx_diag_stop(rx);
    kpt__rx_map &m = rx->rx_map;
    const struct {
        uintptr_t addr, size;
    } regions[] = {
        {m.map_vstate_all, m.map_vstate_all_size}, {m.map_vstate, m.map_vstate_size},
        {m.map_kernel_window, m.map_kernel_window_size},
        {m.map_rx_desc_ring, m.map_rx_desc_ring_size},
        {m.map_rx_data_ring, m.map_rx_data_ring_size},
        {m.map_rx_doorbell, m.map_rx_doorbell_size},
        {m.map_rx_recv_info, m.map_rx_recv_info_size},
    };
    for (const auto &r : regions)
        if (r.addr != 0 && r.size != 0)
            zal_munmap((void *)r.addr, r.size);
    memset(&m, 0, sizeof m);
    rx->rx_s = nullptr;
    rx->kwindow = nullptr;
    rx->evq_base = nullptr;
    rx->rq_data_dma_vpages = nullptr;
    rx->flow_be64 = rx->flow_be64_actual = nullptr;
}

namespace {

/* Maps one region; the size recorded is 0 when nothing was mapped. */
int rx_map_region(const kpt__params *p, zal_handle_t mh, const char *name, uintptr_t *addr,
                  uintptr_t *size_rec, uint64_t size, uint64_t offset, int read_only)
{
    uintptr_t a = 0;
    const int rc = kpt__mmap(p, mh, name, &a, (uintptr_t)size, (uintptr_t)offset, read_only);
    if (rc != 0)
        return rc;
    *addr = a;
    *size_rec = a != 0 ? (uintptr_t)size : 0;
    return 0;
}

/*
 * The cursor the driver left in the state slot must stay inside the mapped
 * rings, or the first receive would read or write outside them.
 */
bool rx_state_sound(const kpt__rx *rx, uint64_t slot_size)
{
    const kpt__rx_state *s = rx->rx_s;
    if (s == nullptr || slot_size < sizeof(kpt__rx_state))
        return false;
    const kpt__rx_evq &e = s->evq;
    if (e.evq_seqnum < 1 || e.evq_seqnum > 255)
        return false;
    if (rx->evq_base != nullptr) {
        const uint64_t entries = rx->rx_map.map_rx_desc_ring_size / sizeof(nfw_kpt_rx_desc_t);
        if ((uint64_t)e.evq_last_idx + 1 > entries || e.evq_next_idx > e.evq_last_idx)
            return false;
    }
    if (e.evq_evinfo_idx != -1) {
        /* A re-attached ring resumes inside its open descriptor. */
        const kpt__rx_evinfo &ev = s->recvq.ev_info;
        if (e.evq_evinfo_idx < 0 || ev.ev_pkt_cnt > QUOR_KPT_DESC_MAX_PKTS ||
            (uint32_t)e.evq_evinfo_idx >= ev.ev_pkt_cnt)
            return false;
    }
    if (rx->rx_map.map_rx_data != 0 &&
        (rx->rq_size == 0 || s->recvq.rq_data_off >= rx->rq_size))
        return false;
    return true;
}

} // namespace

int kpt__rx_init(kpt__rx *rx, zal_handle_t mhandle, const kpt__params *p,
                 const quor_kpt_rx_attach_t *attach)
{
    const quor_kpt_rx_attach_t &at = *attach;
    const quor_kpt_rx_params_t &prm = at.params;
    kpt__rx_map &m = rx->rx_map;
    memset(&m, 0, sizeof m);
    rx->mhandle = mhandle;
    rx->p = p;

    if (at.port_ring_id < 0 || at.port_ring_id >= QUOR_KPT_MAX_RINGS) {
        KPT_LOG_E(p, "rx_init: state slot %d out of range\n", (int)at.port_ring_id);
        return EINVAL;
    }

    /* The seven regions, in this order. */
    const uint64_t slot_size = at.vstate_all_size / QUOR_KPT_MAX_RINGS;
    const uint64_t vstate_off = at.vstate_all_offset == QUOR_NO_REGION
                                    ? QUOR_NO_REGION
                                    : at.vstate_all_offset + (uint64_t)at.port_ring_id * slot_size;
    const uint64_t desc_size = at.rx_desc_ring_offset == QUOR_NO_REGION ? 0 : prm.rx_desc_ring_size;
    const uint64_t data_size = at.rx_data_ring_offset == QUOR_NO_REGION
                                   ? 0
                                   : prm.rx_data_preamble_size + prm.rx_data_ring_size;
    int rc;
    if ((rc = rx_map_region(p, mhandle, "vstate_all", &m.map_vstate_all, &m.map_vstate_all_size,
                            at.vstate_all_size, at.vstate_all_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "vstate", &m.map_vstate, &m.map_vstate_size, slot_size,
                            vstate_off, 0)) != 0 ||
        (rc = rx_map_region(p, mhandle, "kwindow", &m.map_kernel_window,
                            &m.map_kernel_window_size, at.kernel_window_size,
                            at.kernel_window_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "rx_doorbell", &m.map_rx_doorbell,
                            &m.map_rx_doorbell_size, at.rx_doorbell_size, at.rx_doorbell_offset,
                            0)) != 0 ||
        (rc = rx_map_region(p, mhandle, "rx_recv_info", &m.map_rx_recv_info,
                            &m.map_rx_recv_info_size, at.rx_recv_info_size,
                            at.rx_recv_info_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "desc_ring", &m.map_rx_desc_ring,
                            &m.map_rx_desc_ring_size, desc_size, at.rx_desc_ring_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "shared_data", &m.map_rx_data_ring,
                            &m.map_rx_data_ring_size, data_size, at.rx_data_ring_offset, 0)) != 0)
        return rc;
    if (m.map_rx_data_ring != 0) {
        m.map_rx_data = m.map_rx_data_ring + (uintptr_t)prm.rx_data_preamble_size;
        m.map_rx_data_size = (uintptr_t)prm.rx_data_ring_size;
    }
    {
        /* Rings of different handles may be opened by threads at once. */
        static pthread_mutex_t map_mu = PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&map_mu);
        kpt_rx_map = m;
        pthread_mutex_unlock(&map_mu);
    }

    rx->rx_s = (kpt__rx_state *)m.map_vstate;
    rx->rx_s_all = nullptr;
    rx->kwindow = (const quor_kwindow_t *)m.map_kernel_window;
    rx->flow_be64 = rx->flow_be64_actual = (uint64_t *)m.map_rx_doorbell;
    rx->evq_base = (nfw_kpt_rx_desc_t *)m.map_rx_desc_ring;
    rx->rx_map_flags = prm.rx_map_flags;
    rx->nticks = at.nticks;
    rx->rq_data_dma_vpages =
        m.map_rx_recv_info != 0 && at.rx_recv_info_pg_offset + 4 <= m.map_rx_recv_info_size
            ? (const uint32_t *)(m.map_rx_recv_info + (uintptr_t)at.rx_recv_info_pg_offset)
            : nullptr;
    rx->ring_id = (uint32_t)at.ring_id;
    rx->portnum = p->portnum;
    rx->num_rings = prm.num_rings;
    rx->rq_size = m.map_rx_data != 0 ? (uintptr_t)prm.rx_data_ring_size : 0;

    if (!rx_state_sound(rx, slot_size)) {
        KPT_LOG_E(p, "rx_init: the ring state does not fit the ring's regions\n");
        return EINVAL;
    }

    /* Hash of a shared queue. */
    if (p->rss_hash_fn != nullptr) {
        rx->rss_hash_fn = p->rss_hash_fn;
        rx->rss_context = p->rss_context;
    } else {
        rx->rss_hash_fn = kpt__rss_hash;
        rx->rss_context = (void *)(uintptr_t)prm.rss_flags;
    }
    const uint32_t n = rx->num_rings;
    rx->ring_mask = n != 0 && (n & (n - 1)) == 0 ? n - 1 : 0;

    const bool ats = kpt__ats_init(rx);

    /* Receive function and queue mode.  A ring of an application id never
     * decodes switch timestamps. */
    if (rx->rx_map_flags & QUOR_KPT_MAP_SHARED) {
        rx->ring_recv_fn = ats ? ring_recv_shared_ats : ring_recv_shared;
        if (prm.open_flags & QUOR_KPT_F_APP_ID) {
            if (rx->num_rings < 2) {
                rx->pq_mode = P_UNUSED;
                rx->ring_recv_fn = ring_recv_uniq;
            } else {
                rx->pq_mode = P_SHARED;
                rx->ring_recv_fn = ring_recv_shared;
            }
        } else if (prm.open_flags & QUOR_KPT_F_DUP) {
            /* Every packet is this ring's: decoded like a queue of its own. */
            rx->pq_mode = P_DUP;
            rx->ring_recv_fn = ats ? ring_recv_uniq_ats : ring_recv_uniq;
        } else {
            rx->pq_mode = rx->num_rings >= 2 ? P_SHARED : P_UNUSED;
        }
    } else {
        rx->pq_mode = P_UNUSED;
        rx->ring_recv_fn = ats ? ring_recv_uniq_ats : ring_recv_uniq;
    }
    /* The receive functions of a decoding ring call the decoder's attempt. */
    rx->decode_try = rx->ring_recv_fn == ring_recv_uniq_ats || rx->ring_recv_fn == ring_recv_shared_ats
                         ? ring_recv_try_ats
                         : nullptr;

    /* The data ring is resident before the first packet: the device layer
     * maps it with its page tables filled. */

    const kpt__rx_state *s = rx->rx_s;
    const uint32_t next_seq =
        rx->evq_base != nullptr ? kpt__rx_desc_seqnum(&rx->evq_base[s->evq.evq_next_idx]) : 0;
    KPT_LOG_P(p,
              "rx_init: desc[seq=%d,next=%u,next_seq=%u,cnt=%llu,ev_idx=%d] "
              "data[head=%llu,tail=%llu] reat=%s\n",
              (int)s->evq.evq_seqnum, (unsigned)s->evq.evq_next_idx, (unsigned)next_seq,
              (unsigned long long)s->evq.evq_desc_cnt, (int)s->evq.evq_evinfo_idx,
              (unsigned long long)s->recvq.rq_data_head, (unsigned long long)s->recvq.rq_data_tail,
              s->recvq.rq_is_reattach ? "yes" : "no");
    kpt__rx_diag_start(rx);
    return 0;
}

int kpt__ring_open(kpt_port *port, int ring_id, kpt_ring **ring_o)
{
    kpt_ring *r = (kpt_ring *)calloc(1, sizeof *r);
    if (r == nullptr)
        return ENOMEM;
    r->type = KPT_H_RING;
    r->mhandle = -1;
    r->kpt_h = port->kpt_h;
    TAILQ_INIT(&r->ringq);
    TAILQ_INSERT_TAIL(&r->ringq, r, u.ring.glink);
    kpt_ring_uniq &u = r->u.ring;
    u.port_h = port;
    kpt__params_copy(&u.p, &port->p);
    u.drv_p = port->drv_p;
    u.rx.mhandle = -1;

    quor_kpt_rx_attach_t at;
    memset(&at, 0, sizeof at);
    at.set_endpt.endpoint = 0;
    at.set_endpt.endpt_type = QUOR_ES_KPT_RX_RING;
    at.ring_id = ring_id;
    at.params = port->drv_p;

    zal_handle_t mh = -1;
    int rc = zal_open((int)u.p.portnum, 0, &mh, QUOR_PRODUCT_KPT);
    if (rc != 0) {
        KPT_LOG_I(&u.p, "Can't open KPT RX ring handle on port %u (err=%d)\n",
                  (unsigned)u.p.portnum, rc);
        free(r);
        return rc;
    }
    rc = zal_ioctl(mh, (int)QUOR_SET_ENDPOINT, &at, sizeof at);
    if (rc != 0) {
        KPT_LOG_I(&u.p, "Can't attach KPT ring to port %u (err=%d)\n", (unsigned)u.p.portnum, rc);
        zal_close(mh);
        free(r);
        return rc;
    }

    u.p.ring_id = at.ring_id;
    u.p.port_ring_id = at.port_ring_id;
    KPT_LOG_P(&u.p, "rx_init: ring_id[%2d/%2d/%2d] num_rings=%d oflags=%#x map_flags=%#x\n",
              ring_id, (int)at.ring_id, (int)at.port_ring_id, (int)at.params.num_rings,
              (unsigned)at.params.open_flags, (unsigned)at.params.rx_map_flags);

    rc = kpt__rx_init(&u.rx, mh, &u.p, &at);
    if (rc != 0) {
        kpt__rx_unmap(&u.rx);
        zal_close(mh);
        free(r);
        return rc;
    }
    r->mhandle = mh;
    r->ring_recv_fn = u.rx.ring_recv_fn;
    *ring_o = r;
    return 0;
}

void kpt__ring_close(kpt_ring *m)
{
    kpt__rx_fini(&m->u.ring.rx);
    STAILQ_REMOVE(&m->u.ring.port_h->ringq, m, kpt_ring, u.ring.link);
    zal_close(m->mhandle);
    m->mhandle = -1;
}

void kpt__rx_fini(kpt__rx *rx)
{
    kpt__ats_fini(rx);

    /* Give everything back, borrowed packets included, whatever the
     * synchronisation threshold says. */
    kpt__rx_release_all(rx);

    /* The closing line is the ring's last: no signal line may follow it. */
    kpt__rx_diag_stop(rx);
    kpt__rx_print_stats(rx, "rx_fini");
    kpt__rx_unmap(rx);
    (void)zal_ioctl(rx->mhandle, (int)QUOR_KPT_RX_DETACH, nullptr, 0);
}
