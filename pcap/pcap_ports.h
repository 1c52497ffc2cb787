// pcap_ports.h - the adapter's ports as capture devices: their names, and
// the device names that select a ring of a port or several ports merged.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace kptpcap {

struct PortInfo {
    std::string name; // as the host names the port's interface
    uint32_t port = 0;
    uint8_t mac[6] = {};
    bool link_up = false;
    uint64_t speed = 0; // bits per second
};

// The adapter's ports, lowest number first.  Empty when there is no adapter
// (or its driver is not running): the names are then nobody's.
std::vector<PortInfo> list_ports();

// Untrusted text for a message: bytes outside printable ASCII (and the
// backslash) as \xNN, at most about 200 characters.
std::string printable(const char *s, size_t n);

// "kpt port 0, MAC 00:0f:53:00:00:00, link up"
std::string port_description(const PortInfo &p);

// What a device name selects.
struct DeviceSpec {
    enum Kind { NotOurs, Port, Ring, Merged, Bad } kind = NotOurs;
    uint32_t portmask = 0;  // ports selected
    uint32_t first_port = 0;
    int ring_id = -1;       // Ring: the ring id asked for
    std::string error;      // Bad: why the name selects nothing
};

// Names: NAME (a port), NAME@R (ring id R of that port, 0..31) and
// NAME+M[+K...] (the port and ports M, K... merged in timestamp order).
// A name that starts like the ports' names followed by a digit but selects
// no port is Bad, so that its user hears why rather than a host error.
DeviceSpec parse_device(const char *name, const std::vector<PortInfo> &ports);

}  // namespace kptpcap
