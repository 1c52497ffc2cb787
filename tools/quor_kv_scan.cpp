// quor_kv_scan - dump the adapter chip's port, PCI Express and memory logic
// as one line per hardware field, cut from a scan chain of the chip.
//
//   quor_kv_scan [-b UNIT] [-N] [-2] [-S] [-f FILE | -g HOST[:SLOT[:PORT]]]
//
// The chain image comes from adapter memory (the firmware captures it on
// request), from a file holding a memory image, or through a JTAG bridge.
// Which layout applies depends on the processor variant (the firmware
// header's handoff major), the chain and the path.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "quor_nfw.h"
#include "uba.h"

namespace {

// ---------------------------------------------------------------------------
// Layouts.  A layout is a list of parts (port 0, port 1, the PCI Express
// core, the common logic); a part is a list of groups, each either one
// named row or a run of rows named stem + two-digit index.  Fields are
// packed from bit 0 without gaps.
// ---------------------------------------------------------------------------

struct Group {
    const char *name; // the row, or the stem of a run
    unsigned width;   // bits of each row
    unsigned count;   // 0: one row called name; n: name00 .. name(n-1)
};

struct Part {
    const char *prefix;
    const Group *groups;
    size_t n;
};

template <size_t N> constexpr Part part(const char *prefix, const Group (&g)[N]) { return {prefix, g, N}; }

constexpr unsigned rows(const Part &p)
{
    unsigned r = 0;
    for (size_t i = 0; i < p.n; ++i) r += p.groups[i].count ? p.groups[i].count : 1;
    return r;
}
constexpr unsigned bits(const Part &p)
{
    unsigned b = 0;
    for (size_t i = 0; i < p.n; ++i) b += p.groups[i].width * (p.groups[i].count ? p.groups[i].count : 1);
    return b;
}
template <size_t N> constexpr unsigned rows(const Part (&l)[N])
{
    unsigned r = 0;
    for (const Part &p : l) r += rows(p);
    return r;
}
template <size_t N> constexpr unsigned bits(const Part (&l)[N])
{
    unsigned b = 0;
    for (const Part &p : l) b += bits(p);
    return b;
}

// A port of the KV7 processor (and of the bridge's chain): 88 rows.
constexpr Group kPortKv7[] = {
    {"TX_DATA_RECEIVED", 1, 0},
    {"TX_TAIL_RECEIVED", 1, 0},
    {"TX_Q_SENT", 1, 0},
    {"TX_FLAG_", 1, 13},
    {"RX_GOOD_CRC8_COUNT", 16, 0},
    {"RX_BAD_CRC8_COUNT", 16, 0},
    {"RX_LANE0_INVALID_COUNT", 8, 0},
    {"RX_LANE1_INVALID_COUNT", 8, 0},
    {"RX_LANE2_INVALID_COUNT", 8, 0},
    {"RX_LANE3_INVALID_COUNT", 8, 0},
    {"RX_FLAG_", 1, 28},
    {"TX_STATUS_", 4, 20},
    {"LANE_CTL_", 2, 18},
};
// A port of the KV7B processor: 100 rows, with further transmit flags.
constexpr Group kPortKv7b[] = {
    {"TX_DATA_RECEIVED", 1, 0},
    {"TX_TAIL_RECEIVED", 1, 0},
    {"TX_Q_SENT", 1, 0},
    {"TX_I_SENT", 1, 0},
    {"TX_FLAG_", 1, 14},
    {"RX_GOOD_CRC8_COUNT", 16, 0},
    {"RX_BAD_CRC8_COUNT", 16, 0},
    {"RX_LANE0_INVALID_COUNT", 8, 0},
    {"RX_LANE1_INVALID_COUNT", 8, 0},
    {"RX_LANE2_INVALID_COUNT", 8, 0},
    {"RX_LANE3_INVALID_COUNT", 8, 0},
    {"RX_FLAG_", 1, 30},
    {"TX_STATUS_", 4, 22},
    {"LANE_CTL_", 2, 24},
};
constexpr Group kPcieKv7Read[] = {
    {"LTSSM_STATE", 6, 0}, {"LINK_WIDTH", 6, 0}, {"LINK_SPEED", 4, 0}, {"FLAG_", 1, 40},
    {"CREDIT_", 8, 16},    {"ERR_COUNT_", 8, 7}, {"REPLAY_TIMER", 16, 0},
};
constexpr Group kPcieKv7b[] = {
    {"LTSSM_STATE", 6, 0}, {"LINK_WIDTH", 6, 0}, {"LINK_SPEED", 4, 0}, {"FLAG_", 1, 45},
    {"CREDIT_", 8, 16},    {"ERR_COUNT_", 4, 7}, {"REPLAY_NUM", 6, 0},
};
constexpr Group kPcieKv7Write[] = {
    {"MEM_SIZE", 5, 0}, {"BAR_SIZE", 6, 0}, {"BAR_VALID", 1, 0}, {"BAR_LSW", 32, 0},
    {"BAR_MSW", 32, 0}, {"CFG_", 1, 24},    {"CTL_", 4, 16},
};
constexpr Group kCommonKv7Read[] = {
    {"LOOP_COUNT", 32, 0}, {"CYCLE_COUNT", 32, 0},        {"MP_STATE", 16, 0},    {"MP_MODE", 16, 0},
    {"SRAM_SIZE", 16, 0},  {"ON_CHIP_SRAM_DELAY", 16, 0}, {"REBOOT_ENABLE", 1, 0}, {"MISC_", 9, 3},
};
constexpr Group kCommonKv7b[] = {
    {"LOOP_COUNT", 32, 0}, {"CYCLE_COUNT", 32, 0},        {"MP_STATE", 16, 0},     {"MP_MODE", 16, 0},
    {"SRAM_SIZE", 16, 0},  {"ON_CHIP_SRAM_DELAY", 16, 0}, {"REBOOT_ENABLE", 1, 0}, {"S2C_DELAY", 8, 0},
    {"C2S_DELAY", 8, 0},   {"MISC_", 8, 4},
};
constexpr Group kCommonBridge[] = {
    {"LOOP_COUNT", 32, 0},    {"CYCLE_COUNT", 32, 0}, {"MP_STATE", 16, 0},           {"MP_MODE", 16, 0},
    {"IMPEDANCE_CTL", 32, 0}, {"SRAM_SIZE", 16, 0},   {"ON_CHIP_SRAM_DELAY", 16, 0}, {"REBOOT_ENABLE", 2, 0},
};
constexpr Group kCommonKv7Write[] = {
    {"LOOP_COUNT", 16, 0}, {"CYCLE_COUNT", 16, 0},       {"MP_STATE", 8, 0},      {"MP_MODE", 8, 0},
    {"SRAM_SIZE", 4, 0},   {"ON_CHIP_SRAM_DELAY", 8, 0}, {"REBOOT_ENABLE", 1, 0}, {"MISC_00", 3, 0},
};
// Port 0 as the write chain sets it: control words, then the lanes' own
// controls down to lane 0.
constexpr Group kPortKv7Write[] = {
    {"TX_CTL_", 4, 20}, {"RX_CTL_", 4, 20},
    {"TX_SWING3", 5, 0}, {"RX_INV3", 1, 0}, {"RX_LB3", 1, 0},
    {"TX_SWING2", 5, 0}, {"RX_INV2", 1, 0}, {"RX_LB2", 1, 0},
    {"TX_SWING1", 5, 0}, {"RX_INV1", 1, 0}, {"RX_LB1", 1, 0},
    {"TX_SWING0", 5, 0}, {"TX_EQ0", 3, 0},  {"TX_INV0", 1, 0}, {"RX_INV0", 1, 0}, {"RX_LB0", 1, 0},
};

constexpr Part kKv7bRead[] = {part("P0_", kPortKv7b), part("P1_", kPortKv7b), part("PCIE_", kPcieKv7b),
                              part("", kCommonKv7b)};
constexpr Part kBridge[] = {part("P0_", kPortKv7), part("P1_", kPortKv7), part("", kCommonBridge)};
constexpr Part kKv7Read[] = {part("P0_", kPortKv7), part("PCIE_", kPcieKv7Read), part("", kCommonKv7Read)};
constexpr Part kKv7Write[] = {part("PCIE_", kPcieKv7Write), part("", kCommonKv7Write),
                              part("P0_", kPortKv7Write)};

static_assert(rows(part("P0_", kPortKv7)) == 88 && rows(part("P0_", kPortKv7b)) == 100, "port rows");
static_assert(rows(kKv7bRead) == 285 && bits(kKv7bRead) == UBA_SCAN_KV7B_READ_BITS, "KV7B read chain");
static_assert(rows(kBridge) == 184 && bits(kBridge) == UBA_SCAN_L2Z_RDWR_BITS, "bridge chain");
static_assert(rows(kKv7Read) == 165 && bits(kKv7Read) == UBA_SCAN_KV7A_READ_BITS, "KV7 read chain");
static_assert(rows(kKv7Write) == 107 && bits(kKv7Write) == UBA_SCAN_KV7A_WRITE_BITS, "KV7 write chain");

// Bit n of the image is bit n % 8 of byte n / 8; a field is assembled
// lowest bit first.
uint32_t field(const uint8_t *img, unsigned pos, unsigned width)
{
    uint32_t v = 0;
    for (unsigned k = 0; k < width; ++k) {
        const unsigned n = pos + k;
        v |= uint32_t((img[n / 8] >> (n % 8)) & 1) << k;
    }
    return v;
}

template <size_t N> void print_layout(const Part (&layout)[N], const uint8_t *img)
{
    unsigned pos = 0;
    char name[64];
    for (const Part &p : layout) {
        for (size_t g = 0; g < p.n; ++g) {
            const Group &gr = p.groups[g];
            const unsigned n = gr.count ? gr.count : 1;
            for (unsigned i = 0; i < n; ++i) {
                if (gr.count)
                    snprintf(name, sizeof name, "%s%s%02u", p.prefix, gr.name, i);
                else
                    snprintf(name, sizeof name, "%s%s", p.prefix, gr.name);
                printf("%s=0x%x\n", name, field(img, pos, gr.width));
                pos += gr.width;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

[[noreturn]] void usage()
{
    fputs("usage: kv-scan [ -b<unit>]\n", stderr);
    exit(1);
}

}  // namespace

int main(int argc, char **argv)
{
    int unit = 0, chain = 0;
    bool mmio = false, force_kv7b = false;
    const char *file = nullptr, *rabbit = nullptr, *bridge = nullptr;
    int c;
    opterr = 0; // the usage is the one message
    while ((c = getopt(argc, argv, "2b:f:r:g:NS")) != -1) {
        switch (c) {
        case '2':
            chain = 2;
            break;
        case 'b':
            unit = int(uba_number_arg('b', optarg, 10, 0, INT_MAX, "a board number"));
            break;
        case 'f':
            file = optarg;
            break;
        case 'r':
            rabbit = optarg;
            break;
        case 'g':
            bridge = optarg;
            break;
        case 'N':
            mmio = true;
            break;
        case 'S':
            force_kv7b = true;
            break;
        default:
            usage();
        }
    }
    if (optind != argc) usage();

    static nram_t nram; // large: the bridge state holds its reply slots
    uba_nic *nic = nullptr;
    if (file) {
        nram_open_file(&nram, file, 0);
    } else if (rabbit) {
        nram_open_rabbit(&nram, rabbit);
    } else if (bridge) {
        // The port goes into a packet byte doubled.
        static uba_bridge_addr b;
        uba_bridge_arg(bridge, 0, 127, &b);
        nram_open_2z(&nram, b.host, b.slot, b.port);
    } else {
        nic = uba_open(unit, UBA_KV, mmio ? 0 : UBA_BAR_SKIP);
        const int vs = uba_vs_offset(nic);
        if (mmio) {
            handle_error_func(!nic->base, __FILE__, __LINE__, "Board %d: BAR0 is not mapped\n", unit);
            nram_open_pio(&nram, nic->base);
        } else {
            nram_open_cfg_pio(&nram, nic);
        }
        // The firmware lays chains 0 and 2 into its memory on this request.
        uba_pci_write_byte(nic, vs + UBA_VS_MODE, UBA_VS_MODE_SCAN);
        uba_pci_write_long(nic, vs + UBA_VS_ADDR, 2);
    }

    bool kv7b = force_kv7b;
    if (!bridge && !force_kv7b) {
        nfw_gen_header h;
        uba_nfw_header(&nram, &h);
        kv7b = quor_nfw_be16(&h.handoff_id_major) == 1;
    }

    uint8_t img[(UBA_SCAN_KV7B_READ_BITS + 7) / 8] = {};
    if (kv7b) {
        nram_scan_read(&nram, img, UBA_SCAN_KV7B_READ_BITS, chain);
        print_layout(kKv7bRead, img);
    } else if (bridge) {
        nram_scan_read(&nram, img, UBA_SCAN_L2Z_RDWR_BITS, chain);
        print_layout(kBridge, img);
    } else if (chain == 2) {
        nram_scan_read(&nram, img, UBA_SCAN_KV7A_WRITE_BITS, chain);
        print_layout(kKv7Write, img);
    } else {
        nram_scan_read(&nram, img, UBA_SCAN_KV7A_READ_BITS, chain);
        print_layout(kKv7Read, img);
    }
    fflush(stdout);
    nram_close(&nram);
    free(nic);
    return 0;
}
