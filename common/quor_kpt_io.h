/*
 * quor_kpt_io.h - the transmit state block that an injection endpoint shares
 * with the driver, and the routines that act on it: the spin lock that
 * serialises the library's senders with the driver, posting a batch, and
 * reaping completed descriptors.  The library and the simulated driver use
 * these same routines.
 *
 * The records are valid C; the routines are C++ (both users are C++).
 */
#ifndef QUOR_KPT_IO_H
#define QUOR_KPT_IO_H

#include <stdint.h>

#include "quor_io.h"

/* Descriptor slots of an injection endpoint, and their size. */
#define QUOR_KPT_TX_SLOTS 32
#define QUOR_KPT_TX_SLOT_SIZE 128
/* Frames per batch, and the batch length that closes a batch. */
#define QUOR_KPT_TX_BATCH_FRAMES 64
#define QUOR_KPT_TX_BATCH_BYTES 8192
/* Every batch starts on a page of the data ring. */
#define QUOR_KPT_TX_BATCH_ALIGN 4096

/* Data-ring bytes a frame of len bytes occupies. */
#define quor_kpt_tx_qlen(len) \
    ((((uint32_t)(len) < QUOR_MIN_FRAME ? QUOR_MIN_FRAME : (uint32_t)(len)) + 7u) & ~7u)
#define quor_kpt_tx_round_page(len) \
    (((uint32_t)(len) + QUOR_KPT_TX_BATCH_ALIGN - 1u) & ~(QUOR_KPT_TX_BATCH_ALIGN - 1u))

typedef struct quor_flow_window {
    uint32_t flow_desc;
    uint32_t flow_seqnum;
    uint32_t flow_data;
    uint32_t pad;
    uint64_t flow_data_off;
} quor_flow_window_t;
QUOR_ASSERT_SIZE(quor_flow_window_t, 24);
QUOR_ASSERT_OFF(quor_flow_window_t, flow_desc, 0);
QUOR_ASSERT_OFF(quor_flow_window_t, flow_data_off, 16);

typedef struct kpt__tx_ep_flow {
    quor_flow_window_t rx_flow;
    uint8_t pad[40];
    quor_flow_window_t tx_flow; /* flow_desc: completed descriptors seen */
} kpt__tx_ep_flow;
QUOR_ASSERT_SIZE(kpt__tx_ep_flow, 88);

/* The batch being gathered. */
typedef struct kpt__tx_desc {
    uint32_t d_cnt;    /* frames */
    uint32_t d_length; /* sum of their data-ring lengths */
    uint16_t d_pkt_lens_be16[QUOR_KPT_TX_BATCH_FRAMES];
} kpt__tx_desc;
QUOR_ASSERT_SIZE(kpt__tx_desc, 136);

/*
 * Transmit state block: one per injection endpoint, in its tx_flow region.
 * The library initialises it at open; after that every change is made by
 * the holder of tx_lock (a sender in the library, or the driver reaping and
 * flushing for an idle sender), except what the adapter takes without it.
 *
 *     0                     24             64                 88
 *     +---------------------+--------------+------------------+
 *     | ep_flow.rx_flow     | ep_flow.pad  | ep_flow.tx_flow  |
 *     +---------+---------+-------------+-------------+------+
 *    88 tx_lock  92 dq_avail  96 dq_head_idx  100 dq_inflight
 *   104 dq_lengths[32] (4 each, 104..231)
 *   232 tx_pkts_cnt  240 tx_flush_cnt  248 tx_flush_intr_cnt
 *   256 txd: d_cnt (4), d_length (4), d_pkt_lens_be16[64] (264..391)
 *   392 pad (56)                                                    448
 *
 *   field              written by                     read by
 *   ep_flow.rx_flow    nobody (kept for the layout)   nobody
 *   tx_flow.flow_desc  lock holder (reap)             lock holder; driver
 *                                                     peeks (relaxed)
 *   tx_lock            library and driver (acquire    both
 *                      exchange, release store)
 *   dq_avail,          lock holder                    lock holder
 *   tx_flush_cnt,
 *   tx_flush_intr_cnt,
 *   txd.d_length,
 *   txd.d_pkt_lens_be16
 *   dq_head_idx        lock holder (post, release)    adapter (acquire; no lock)
 *   dq_lengths         lock holder (post)             adapter, below
 *                                                     dq_head_idx; lock holder
 *   dq_inflight,       lock holder (relaxed stores)   driver peeks (relaxed);
 *   txd.d_cnt                                         lock holder
 *   tx_pkts_cnt        lock holder (relaxed store)    library statistics
 *
 * The descriptor slots, the doorbell and the completion byte are regions of
 * their own (kpt__tx_shared_params); the adapter advances the completion
 * byte with release after it has read a batch.
 */
typedef struct kpt__tx_state {
    kpt__tx_ep_flow ep_flow;
    uint32_t tx_lock;     /* 1 free, 0 held */
    uint32_t dq_avail;    /* free bytes of the data ring */
    uint32_t dq_head_idx; /* batches posted (running count) */
    int32_t dq_inflight;  /* posted and not yet seen completed */
    uint32_t dq_lengths[QUOR_KPT_TX_SLOTS];
    uint64_t tx_pkts_cnt;
    uint64_t tx_flush_cnt;      /* batches posted by the library */
    uint64_t tx_flush_intr_cnt; /* batches posted by the driver */
    kpt__tx_desc txd;
    uint8_t pad[56];
} kpt__tx_state;
QUOR_ASSERT_SIZE(kpt__tx_state, 448);
QUOR_ASSERT_OFF(kpt__tx_state, ep_flow.rx_flow, 0);
QUOR_ASSERT_OFF(kpt__tx_state, ep_flow.pad, 24);
QUOR_ASSERT_OFF(kpt__tx_state, ep_flow.tx_flow, 64);
QUOR_ASSERT_OFF(kpt__tx_state, ep_flow.tx_flow.flow_desc, 64);
QUOR_ASSERT_OFF(kpt__tx_state, tx_lock, 88);
QUOR_ASSERT_OFF(kpt__tx_state, dq_avail, 92);
QUOR_ASSERT_OFF(kpt__tx_state, dq_head_idx, 96);
QUOR_ASSERT_OFF(kpt__tx_state, dq_inflight, 100);
QUOR_ASSERT_OFF(kpt__tx_state, dq_lengths, 104);
QUOR_ASSERT_OFF(kpt__tx_state, tx_pkts_cnt, 232);
QUOR_ASSERT_OFF(kpt__tx_state, tx_flush_cnt, 240);
QUOR_ASSERT_OFF(kpt__tx_state, tx_flush_intr_cnt, 248);
QUOR_ASSERT_OFF(kpt__tx_state, txd.d_cnt, 256);
QUOR_ASSERT_OFF(kpt__tx_state, txd.d_length, 260);
QUOR_ASSERT_OFF(kpt__tx_state, txd.d_pkt_lens_be16, 264);

/* Where the routines find the endpoint's shared regions. */
typedef struct kpt__tx_shared_params {
    uint32_t txd_cnt;                  /* descriptor slots: 32 */
    uint32_t *txd_dbaddr_be32;         /* the doorbell word */
    const uint8_t *txd_compl_update;   /* this endpoint's completion byte */
    uint64_t *txd_pio_base;            /* descriptor slot 0 */
    kpt__tx_state *tx_s;               /* the state block */
} kpt__tx_shared_params;

#ifdef __cplusplus

#include <atomic>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUOR_CPU_PAUSE() _mm_pause()
#else
#define QUOR_CPU_PAUSE() ((void)0)
#endif

/* ---- the transmit lock: a test-and-set word, 1 free and 0 held ---- */

static inline void kpt__spin_init(kpt__tx_state *s)
{
    /* Pairs with the acquire exchange of the next taker. */
    std::atomic_ref<uint32_t>(s->tx_lock).store(1, std::memory_order_release);
}

/* Takes the lock if it is free: the old value was above 0. */
static inline bool kpt__spin_trylock(kpt__tx_state *s)
{
    /* Pairs with the release store of kpt__spin_unlock in the holder. */
    return std::atomic_ref<uint32_t>(s->tx_lock).exchange(0, std::memory_order_acquire) > 0;
}

static inline void kpt__spin_lock(kpt__tx_state *s)
{
    while (!kpt__spin_trylock(s)) {
        /* Wait for the word to look free before trying the exchange again. */
        while (std::atomic_ref<uint32_t>(s->tx_lock).load(std::memory_order_relaxed) == 0)
            QUOR_CPU_PAUSE();
    }
}

static inline void kpt__spin_unlock(kpt__tx_state *s)
{
    /* Pairs with the acquire exchange of kpt__spin_trylock. */
    std::atomic_ref<uint32_t>(s->tx_lock).store(1, std::memory_order_release);
}

/* ---- posting and reaping, with the lock held ---- */

/*
 * A counter of the block that the driver peeks at without the lock, to tell
 * whether taking it is worth while (dq_inflight, txd.d_cnt, flow_desc), or
 * that statistics read from another thread (tx_pkts_cnt).  dq_head_idx is
 * published apart, with release, by the post.
 * Only the holder changes it; stored whole, relaxed, so that a
 * peek sees an old or a new value and never a torn one.  Pairs with the
 * driver's relaxed loads; the lock orders everything else.
 */
template <class T> static inline void kpt__tx_peeked_set(T &field, std::type_identity_t<T> value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

/*
 * Copies nwords 64-bit words to a descriptor slot with 64-bit stores in
 * ascending order, then fences so that the slot is written before the
 * doorbell.
 */
static inline void zal_piocopy64_inline(uint64_t *dst, const uint64_t *src, uint32_t nwords)
{
    for (uint32_t i = 0; i < nwords; ++i)
        std::atomic_ref<uint64_t>(dst[i]).store(src[i], std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
}

/*
 * Posts the open batch: descriptor slot, counters, then the doorbell.
 * by_driver counts the post as the driver's own (an interrupt flush).
 * The caller holds the lock and a batch is open.
 */
static inline void kpt__tx_pioflush(const kpt__tx_shared_params *sp, bool by_driver)
{
    kpt__tx_state *s = sp->tx_s;
    const uint32_t head = s->dq_head_idx;
    uint32_t idx = head % sp->txd_cnt;
    uint32_t cnt = s->txd.d_cnt, len = s->txd.d_length;
    s->dq_lengths[idx] = len;
    uint64_t words[QUOR_KPT_TX_BATCH_FRAMES / 4];
    uint32_t nwords = (2 * cnt + 7) / 8;
    /* A batch never holds more than 64 frames; the block is shared memory,
     * so a count that says otherwise is not believed past the slot. */
    if (nwords > QUOR_KPT_TX_BATCH_FRAMES / 4) nwords = QUOR_KPT_TX_BATCH_FRAMES / 4;
    __builtin_memcpy(words, s->txd.d_pkt_lens_be16, nwords * 8);
    zal_piocopy64_inline(sp->txd_pio_base + idx * (QUOR_KPT_TX_SLOT_SIZE / 8), words, nwords);
    /* The batch counts as posted once its length and slot are written: the
     * adapter takes posted batches without the lock.  Pairs with the
     * adapter's acquire load of dq_head_idx. */
    std::atomic_ref<uint32_t>(s->dq_head_idx).store(head + 1, std::memory_order_release);
    uint32_t db = cnt | (len << 16);
    kpt__tx_peeked_set(s->tx_pkts_cnt, s->tx_pkts_cnt + cnt);
    if (by_driver)
        s->tx_flush_intr_cnt += 1;
    else
        s->tx_flush_cnt += 1;
    kpt__tx_peeked_set(s->txd.d_cnt, 0u);
    s->txd.d_length = 0;
    kpt__tx_peeked_set(s->dq_inflight, s->dq_inflight + 1);
    /* The unused tail of the batch's last page is held until completion. */
    s->dq_avail -= quor_kpt_tx_round_page(len) - len;
    /* The doorbell last, as one 32-bit big-endian store; read by the adapter
     * after the slot (ordered by the fence above). */
    std::atomic_ref<uint32_t>(*sp->txd_dbaddr_be32)
        .store(__builtin_bswap32(db), std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_release);
}

/*
 * Takes note of descriptors the adapter has completed since the last call:
 * frees their data-ring room and slots.  Returns true when there was
 * progress.  The caller holds the lock.
 */
static inline bool kpt__tx_update_completion(const kpt__tx_shared_params *sp)
{
    kpt__tx_state *s = sp->tx_s;
    /* Pairs with the adapter's release store of the completion byte, made
     * after it has read the descriptor's data. */
    uint8_t nic = std::atomic_ref<uint8_t>(*const_cast<uint8_t *>(sp->txd_compl_update))
                      .load(std::memory_order_acquire);
    uint8_t host = (uint8_t)s->ep_flow.tx_flow.flow_desc;
    if (nic == host) return false;
    for (uint8_t i = host; i != nic; ++i) {
        uint32_t slot = i % sp->txd_cnt;
        kpt__tx_peeked_set(s->dq_inflight, s->dq_inflight - 1);
        s->dq_avail += quor_kpt_tx_round_page(s->dq_lengths[slot]);
        s->dq_lengths[slot] = 0;
    }
    kpt__tx_peeked_set(s->ep_flow.tx_flow.flow_desc, uint32_t(nic));
    return true;
}

#endif /* __cplusplus */

#endif /* QUOR_KPT_IO_H */
