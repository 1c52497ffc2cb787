// pcapng_writer.h - pcapng output of kpt_dump: one section with its interface
// descriptions, packets appended into a large buffer that is written out in
// big pieces, and interface statistics at the end of every file.
//
// The writes happen on a thread of the writer's own: the capturing thread
// fills one buffer while the file takes the previous ones, so a slow write
// holds the capture back only once every buffer is waiting for the file.
//
// Blocks are written in the host's byte order (a reader learns it from the
// section header), every block padded to 32 bits and closed by its length.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kptdump {

// One capture interface of the section (a port).
struct IfaceDesc {
    std::string name;
    uint8_t mac[6] = {};
    bool has_mac = false;
    uint32_t snaplen = 0;
    uint64_t speed_bps = 0; // 0: not recorded
    std::string filter;     // the capture filter expression, if any
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
constexpr uint16_t kIfName = 2, kIfMac = 6, kIfSpeed = 8, kIfTsresol = 9, kIfFilter = 11;
constexpr uint16_t kIsbStart = 2, kIsbEnd = 3, kIsbIfRecv = 4, kIsbIfDrop = 5,
                   kIsbFilterAccept = 6, kIsbOsDrop = 7, kIsbUsrDeliv = 8;
} // namespace ng

class PcapngWriter {
public:
    // buffer_bytes: how much is gathered before one write() (at least 64 KiB);
    // buffers: how many of them exist (at least 2: one filling, one writing).
    explicit PcapngWriter(size_t buffer_bytes = 4u << 20, size_t buffers = 4);
    ~PcapngWriter();
    PcapngWriter(const PcapngWriter &) = delete;
    PcapngWriter &operator=(const PcapngWriter &) = delete;

    // Starts a file on fd (closed by close() when own is set) with its
    // section header and interface descriptions.  With prealloc_bytes the
    // writing thread reserves that much of the file, in steps between its
    // writes, and close() cuts it back to what was written.
    void begin(int fd, bool own, const SectionInfo &si, const std::vector<IfaceDesc> &ifs,
               uint64_t prealloc_bytes = 0);

    // One enhanced packet block: caplen bytes of a frame of origlen bytes.
    // The caller keeps caplen within the interface's snap length.
    //
    // This is the copy every captured frame takes, so it is written for the
    // machine: the fixed fields go from registers straight into the buffer
    // (built in a small array first, their 4-byte stores stalled the wide
    // loads that copied it), the padding is one store, and a short frame is
    // copied inline rather than through a call.
    inline void packet(uint32_t ifid, uint64_t ts_ns, const void *data, uint32_t caplen,
                       uint32_t origlen)
    {
        const uint32_t padded = (caplen + 3u) & ~3u;
        const uint32_t total = 32 + padded;
        if (__builtin_expect(used_ + total > cap_, 0)) drain();
        uint8_t *b = buf_ + used_;
        // Counted first: the byte stores below may alias any member, which
        // would make the compiler load them again.
        used_ += total;
        written_ += total;
        // The pad bytes lie in the block's last data word, zeroed ahead of
        // the frame that partly overwrites it.  (With no data at all the
        // word is the header's last, stored after it.)
        store32(b + 24 + padded, 0);
        store64(b, words(ng::kEPB, total));
        store64(b + 8, words(ifid, uint32_t(ts_ns >> 32)));
        store64(b + 16, words(uint32_t(ts_ns), caplen));
        store32(b + 24, origlen);
        copy_frame(b + 28, static_cast<const uint8_t *>(data), caplen);
        store32(b + 28 + padded, total);
    }

    // One interface statistics block, stamped with st.end_ns.
    void stats(uint32_t ifid, const IfaceStats &st);

    // Hands what is buffered to the writing thread and takes a free buffer
    // (waiting while every buffer is still queued for the file).  The data
    // reaches the file without any further call.
    void drain();
    // Drains, waits until the file has everything and closes it (when
    // owned).  Returns error().
    int close();

    // Bytes of the current file, buffered ones included.
    uint64_t file_bytes() const { return written_; }
    // First write error (errno) since begin(), 0 if none.  Writes fail
    // behind the caller's back, so this may turn non-zero at any time.
    int error() const { return err_.load(std::memory_order_relaxed); }
    bool active() const { return fd_ >= 0; }

private:
    // Two 32-bit fields in the order they have in the file (host order).
    static constexpr uint64_t words(uint32_t first, uint32_t second)
    {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        return uint64_t(first) | uint64_t(second) << 32;
#else
        return uint64_t(first) << 32 | uint64_t(second);
#endif
    }
    static void store32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
    static void store64(uint8_t *p, uint64_t v) { memcpy(p, &v, 8); }
    // n bytes from s to d, which do not overlap; 16 to 64 bytes (the
    // smallest frames) as overlapping 16-byte moves of exactly that span.
    static void copy_frame(uint8_t *d, const uint8_t *s, uint32_t n)
    {
        if (n >= 16 && n <= 64) {
            auto move16 = [](uint8_t *to, const uint8_t *from) { memcpy(to, from, 16); };
            move16(d, s);
            move16(d + n - 16, s + n - 16);
            if (n > 32) {
                move16(d + 16, s + 16);
                move16(d + n - 32, s + n - 32);
            }
        } else {
            memcpy(d, s, n);
        }
    }

    struct Job {
        uint8_t *buf;
        size_t len;
        int fd;
    };
    // The part of a file still to reserve (fd -1: none).
    struct Reserve {
        int fd = -1;
        uint64_t done = 0, len = 0;
    };
    static constexpr uint64_t kReserveStep = 16u << 20;

    void put(const void *p, size_t n);
    void write_loop();
    void write_all(const Job &j);

    uint8_t *buf_ = nullptr; // the buffer being filled
    size_t cap_ = 0, used_ = 0;
    uint64_t written_ = 0;
    int fd_ = -1;
    bool own_ = false;
    bool cut_ = false; // preallocated: truncated to written_ when closed
    std::atomic<int> err_{0};

    // Hand-off to the writing thread: full buffers in file order, and the
    // free ones.  Guarded by mu_.
    std::vector<uint8_t *> all_;
    std::mutex mu_;
    std::condition_variable cv_full_, cv_free_;
    std::deque<Job> full_;
    std::vector<uint8_t *> free_;
    Reserve reserve_;
    bool writing_ = false; // the thread holds a job outside full_, or reserves
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace kptdump
