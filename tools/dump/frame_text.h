// frame_text.h - the capture filter and the one-line frame summaries of
// kpt_dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct bpf_insn;

namespace kptdump {

// A capture filter expression compiled for Ethernet frames.  An empty
// expression takes every frame.
class CaptureFilter {
public:
    CaptureFilter() = default;
    ~CaptureFilter();
    CaptureFilter(const CaptureFilter &) = delete;
    CaptureFilter &operator=(const CaptureFilter &) = delete;

    // False with the compiler's message in *err for a bad expression.
    bool compile(const std::string &expr, uint32_t snaplen, std::string *err);
    // Runs the program on a frame of len bytes held whole in memory.
    // (Without a program, every frame passes at no cost.)
    bool match(const uint8_t *frame, uint32_t len) const
    {
        return !insns_ || run(frame, len);
    }
    // Instructions of the program (0: no filter).
    size_t instructions() const { return count_; }

private:
    bool run(const uint8_t *frame, uint32_t len) const;

    bpf_insn *insns_ = nullptr;
    size_t count_ = 0;
};

// "HH:MM:SS.nnnnnnnnn port P len L SRC > DST, <what>" and a newline, in local
// time, into out (cap bytes, at least 256); returns the length written.  The
// frame is untrusted: only headers that lie inside len are decoded.
size_t frame_line(char *out, size_t cap, uint64_t ts_ns, uint32_t port, const uint8_t *frame,
                  uint32_t len);

}  // namespace kptdump
