// filled_ring.h - a receive ring of the in-process simulator whose port is
// never started: its descriptor ring holds identical descriptors of
// `frame`-byte frames (as many per descriptor as fit), and each lap the
// reader has consumed is made valid again by Publish(), outside the timing.
// The frames' bytes are whatever the data ring holds.
#pragma once

#include <endian.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "bench_sim.h"
#include "kpt_rx.h"

namespace kptbench {

constexpr uint64_t kDataRing = 64ull << 20;

// A ring whose descriptor ring holds identical descriptors of `frame`-byte
// frames; Publish() makes the next lap of them valid.
class FilledRing {
public:
    explicit FilledRing(uint32_t frame)
    {
        sim();
        if (kpt_open(0, 1, nullptr, int64_t(kDataRing), -1, &h_) != 0 ||
            kpt_ring_open(h_, &ring_) != 0) {
            fprintf(stderr, "cannot open a ring\n");
            exit(1);
        }
        Fill(&ring_->u.ring.rx, frame, ring_->u.ring.rx.nticks.ticks + 1000);
    }
    // A member ring of a group, filled the same way; the group owns it.
    FilledRing(kpt_ring_t member, uint32_t frame, uint64_t ticks)
    {
        Fill(&member->u.ring.rx, frame, ticks);
    }
    ~FilledRing()
    {
        if (ring_) kpt_ring_close(ring_);
        if (h_) kpt_close(h_);
    }
    // Valid sequence numbers for the next lap of the descriptor ring.
    void Publish()
    {
        for (uint32_t i = 0; i < n_; ++i, ++next_)
            std::atomic_ref<uint8_t>(base_[next_ % n_].seqnum)
                .store(uint8_t(1 + next_ % 255), std::memory_order_release);
    }
    // The reader has taken every packet of the lap published last.
    bool Drained() const
    {
        return rx_->rx_s->evq.evq_desc_cnt == next_ && rx_->rx_s->evq.evq_evinfo_idx == -1;
    }
    kpt_ring_t ring() const { return ring_; }
    kpt__rx *rx() const { return rx_; }
    uint32_t pkts_per_desc() const { return pkts_; }

private:
    void Fill(kpt__rx *rx, uint32_t frame, uint64_t ticks)
    {
        rx_ = rx;
        base_ = rx_->evq_base;
        n_ = rx_->rx_s->evq.evq_last_idx + 1;
        mprotect(base_, rx_->rx_map.map_rx_desc_ring_size, PROT_READ | PROT_WRITE);

        const uint32_t len = frame + QUOR_FCS_LEN;
        const uint32_t slot = quor_kpt_rpd_length_up(len);
        pkts_ = std::min<uint32_t>(QUOR_KPT_DESC_MAX_PKTS, 65535 / slot);
        nfw_kpt_rx_desc_t d = {};
        for (uint32_t i = 0; i < pkts_; ++i) d.pkt_lens[i] = htobe16(uint16_t(len));
        d.timestamp_high = htobe32(uint32_t(ticks >> 32));
        d.timestamp_low = htobe32(uint32_t(ticks));
        d.total_len = htobe16(uint16_t(pkts_ * slot));
        d.pkt_cnt = uint8_t(pkts_);
        for (uint32_t i = 0; i < n_; ++i) base_[i] = d;
        next_ = rx_->rx_s->evq.evq_desc_cnt;
        Publish();
    }

    kpt_handle_t h_ = nullptr;
    kpt_ring_t ring_ = nullptr;
    kpt__rx *rx_ = nullptr;
    nfw_kpt_rx_desc_t *base_ = nullptr;
    uint32_t n_ = 0, pkts_ = 0;
    uint64_t next_ = 0;
};

}  // namespace kptbench
