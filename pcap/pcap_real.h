// pcap_real.h - the system's packet capture library as it stands behind this
// one: every call this library answers for other devices goes on to it.
#pragma once

#include <pcap/pcap.h>

namespace kptpcap {

// Entry points of the next library in the search order (resolved once, the
// first time any of them is needed).
struct RealPcap {
#define KPT_PCAP_REAL(name) decltype(&::name) name = nullptr;
#include "pcap_calls.def"
#undef KPT_PCAP_REAL
};

// The real library; never null members once it returns (a call that cannot
// be resolved aborts the program with a message: it would crash anyway).
const RealPcap &real();

// The ring an activated handle of ours reads (null for any other handle):
// for the benchmarks, which fill it without a wire.
struct kpt_ring *ring_of(pcap_t *p);

}  // namespace kptpcap
