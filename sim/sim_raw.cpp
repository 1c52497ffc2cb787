// sim_raw.cpp - raw endpoints: a connection bound with QUOR_SET_RAW_ENDPOINT.
//
// The binding is all there is so far: it lets the holder of the connection
// map its board's BAR0 (device offsets QUOR_RAW_BAR0_MAP_OFFSET + x).  Raw
// sends and events would hang off the same binding.
#include <errno.h>

#include "sim_internal.h"

namespace quorsim {

int Simulator::Impl::raw_bind(Conn &c)
{
    if (c.kind != EpKind::None) return EBUSY;
    c.kind = EpKind::Raw;
    return 0;
}

void Simulator::Impl::raw_release(Conn &c) { c.kind = EpKind::None; }

}  // namespace quorsim
