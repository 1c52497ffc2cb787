// pcapng_writer.h - pcapng output of kpt_dump: one section with its interface
// descriptions, packets appended into a large buffer that is written out in
// big pieces, and interface statistics at the end of every file.
//
// Blocks are written in the host's byte order (a reader learns it from the
// section header), every block padded to 32 bits and closed by its length.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kptdump {

// One capture interface of the section (a port).
struct IfaceDesc {
    std::string name;
    uint8_t mac[6] = {};
    bool has_mac = false;
    uint32_t snaplen = 0;
    uint64_t speed_bps = 0; // 0: not recorded
};

// What the section header says about the capture.
struct SectionInfo {
    std::string application; // "kpt_dump 3.0.21"
    std::string os;          // "Linux 6.1.0 x86_64"
    std::string comment;     // the host, for instance
};

// Counters of one interface over a file's time span.
struct IfaceStats {
    uint64_t start_ns = 0, end_ns = 0;
    uint64_t received = 0;    // frames that reached the port
    uint64_t adapter_drop = 0;
    uint64_t ring_drop = 0;
    uint64_t accepted = 0;    // passed the filter
    uint64_t delivered = 0;   // written to this file
};

// Block codes and option codes of the format (shared with the tests).
namespace ng {
constexpr uint32_t kSHB = 0x0A0D0D0A, kIDB = 1, kSPB = 3, kISB = 5, kEPB = 6;
constexpr uint32_t kByteOrder = 0x1A2B3C4D;
constexpr uint16_t kLinkEthernet = 1;
constexpr uint16_t kOptEnd = 0, kOptComment = 1;
constexpr uint16_t kShbOs = 3, kShbUserAppl = 4;
constexpr uint16_t kIfName = 2, kIfMac = 6, kIfSpeed = 8, kIfTsresol = 9;
constexpr uint16_t kIsbStart = 2, kIsbEnd = 3, kIsbIfRecv = 4, kIsbIfDrop = 5,
                   kIsbFilterAccept = 6, kIsbOsDrop = 7, kIsbUsrDeliv = 8;
} // namespace ng

class PcapngWriter {
public:
    // buffer_bytes: how much is gathered before one write() (at least 64 KiB).
    explicit PcapngWriter(size_t buffer_bytes = 4u << 20);
    ~PcapngWriter();
    PcapngWriter(const PcapngWriter &) = delete;
    PcapngWriter &operator=(const PcapngWriter &) = delete;

    // Starts a file on fd (closed by close() when own is set) with its
    // section header and interface descriptions.
    void begin(int fd, bool own, const SectionInfo &si, const std::vector<IfaceDesc> &ifs);

    // One enhanced packet block: caplen bytes of a frame of origlen bytes.
    // The caller keeps caplen within the interface's snap length.
    inline void packet(uint32_t ifid, uint64_t ts_ns, const void *data, uint32_t caplen,
                       uint32_t origlen)
    {
        const uint32_t padded = (caplen + 3u) & ~3u;
        const uint32_t total = 32 + padded;
        if (used_ + total > cap_) drain();
        uint8_t *b = buf_ + used_;
        const uint32_t hdr[7] = {ng::kEPB, total, ifid, uint32_t(ts_ns >> 32), uint32_t(ts_ns),
                                 caplen, origlen};
        memcpy(b, hdr, sizeof hdr);
        memcpy(b + 28, data, caplen);
        memset(b + 28 + caplen, 0, padded - caplen);
        memcpy(b + 28 + padded, &total, 4);
        used_ += total;
        written_ += total;
    }

    // One interface statistics block, stamped with st.end_ns.
    void stats(uint32_t ifid, const IfaceStats &st);

    // Writes out what is buffered; the first failure is kept (error()).
    void drain();
    // Drains and closes the file (when owned).  Returns error().
    int close();

    // Bytes of the current file, buffered ones included.
    uint64_t file_bytes() const { return written_; }
    // First write error (errno) since begin(), 0 if none.
    int error() const { return err_; }
    bool active() const { return fd_ >= 0; }

private:
    void put(const void *p, size_t n);
    void put_option(uint16_t code, const void *p, uint16_t n);

    uint8_t *buf_ = nullptr;
    size_t cap_ = 0, used_ = 0;
    uint64_t written_ = 0;
    int fd_ = -1;
    bool own_ = false;
    int err_ = 0;
};

}  // namespace kptdump
