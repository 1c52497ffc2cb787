/*
 * quor_mdio_rw - read and write a port's PHY registers over clause-45 MDIO,
 * and the transceiver module in its cage over I2C, and show the module's
 * status, diagnostics and identity.
 *
 *   quor_mdio_rw [options] [<dev>.<reg> [<val>]]
 *
 * The MDIO bus is bit-banged through one processor register of the adapter;
 * module bytes come through the PHY (a page-read PHY or a register PHY) or
 * through the firmware's module service, depending on the board.  A board
 * that is not in this host is reached through the JTAG bridge (-g).
 *
 * Through BAR2 (-N) the processor registers are reached by plain stores,
 * which on the simulated boards is memory with no PHY behind it: there -N
 * is only of use with the firmware method.
 */
#include <limits.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "quor_nfw.h"
#include "quor_pc.h"
#include "uba.h"
#include "zal_parse.h"

/* ------------------------------------------------------------------------ */
/* Methods, cages and the tool's state                                      */
/* ------------------------------------------------------------------------ */

enum {
    XFI_NONE = 0,
    XFI_UNKNOWN = 1,
    XFI_QT2022 = 2,
    XFI_AEL1002 = 3,
    XFI_AEL1010 = 4,
    XFI_FIRMWARE = 5,
    XFI_UBA_DRIVER = 6
};
static const char *const xfi_names[] = {"none",         "unknown",  "Quake-2022",
                                        "Aeluros-1002", "Aeluros-1010", "Firmware",
                                        "Uba-driver-quor10ge-cmd"};

enum {
    PLUG_NONE = QUOR_PLUG_NONE,
    PLUG_UNKNOWN = QUOR_PLUG_UNKNOWN,
    PLUG_CX4 = QUOR_PLUG_CX4,
    PLUG_XFP = QUOR_PLUG_XFP,
    PLUG_SFPP = QUOR_PLUG_SFPP,
    PLUG_QSFP = QUOR_PLUG_QSFP,
    PLUG_CJ = QUOR_PLUG_CJ
};
static const char *const plug_names[] = {"none", "unknown", "CX4", "XFP", "SFP+", "QSFP", "CJ"};

/* Processor register that drives the MDIO bus, and its bits. */
#define MDIO_REG 0x1e1
#define MDIO_DATA 1u
#define MDIO_DRIVE 2u
#define MDIO_CLOCK 4u
/* Processor registers as adapter addresses: register r at 0xfffffe00 + r. */
#define REGS_OFFSET 0xfffffe00u
#define BAR2_REGS 0xffe00u
/* Register 0 of MMD 1 of the PHY's copy of the module page (device 0). */
#define PAGE_BASE 0x8007u

static nram_t Ruvo_ram, Ruvo_regs;
static unsigned PHY;
static int KV7B;
static int xfi_type = XFI_NONE;
static int plug_type = PLUG_NONE;
static int opt_multi_read;
static uint8_t xfp_cache[256][256];
static unsigned current_pos[5] = {0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu};
static struct {
    uba_nic *nic;
    int cap_vs;
    unsigned nic_xfp_offset;
} fw_var;

static void usage(void)
{
    fprintf(stderr,
            "usage: mdio_rw is used to access PHY/Transceiver(TCVR) registers\n"
            "  mdio_rw [ -b<board_num ]                    -- display TCVR status\n"
            "  mdio_rw [ -b<board_num ]  <dev>.<reg>       -- display a PHY reg\n"
            "  mdio_rw [ -b<board_num ]  <dev>.<reg> <val> -- write <val> into PHY reg\n"
            "  mdio_rw [ -b<board_num ]  -v                -- dump a bunch of PHY regs\n"
            "\t  -- <reg> is parsed as base 10 unless prefixed with 0x\n"
            "\t Options:\n"
            "\t\t -b<board_num> : use NIC <board_num> (default 0)\n"
            "\t\t -s            : use single byte i2c op to access TCVR\n"
            "\t\t -S            : use multi-byte i2c op to access TCVR\n"
            "\t\t -xx            :dump the whole 256 byte TCVR table\n"
            "\t\t -N            : use bar2 MMIO to access MDIO bus\n"
            "\n"
            "\t examples:\n"
            "\t\t   mdio_rw           -- display TCVR status\n"
            "\t\t   mdio_rw 1.9       -- display laser-enable reg\n"
            "\t\t   mdio_rw 1.0xc200  -- display TCVR status pins (QT2022-only)\n"
            "\t\t   mdio_rw 1.9 0     -- turn laser on\n"
            "\t\t   mdio_rw 1.9 1     -- turn laser off\n");
    exit(1);
}

/* Numbers on this command line are base 0: decimal unless prefixed with 0x
 * (or 0 for octal). */
static int parse_num(const char *s, char stop, unsigned long long max, unsigned long long *out, const char **end)
{
    return zal_parse_whole(s, 0, stop, max, out, end);
}

/* ------------------------------------------------------------------------ */
/* MDIO bit-banging and clause-45 frames                                    */
/* ------------------------------------------------------------------------ */

#ifdef QUOR_MDIO_RW_TEST_BUS
/* The unit tests put a bus model behind the register. */
void mdio_bus_write(uint8_t v);
uint8_t mdio_bus_read(void);
#else
static void mdio_bus_write(uint8_t v)
{
    nram_pio_write_8(&Ruvo_regs, MDIO_REG, v);
    __sync_synchronize();
}

static uint8_t mdio_bus_read(void)
{
    __sync_synchronize();
    return nram_pio_read_8(&Ruvo_regs, MDIO_REG);
}
#endif

/* v carries data, drive and clock as on a KV7 board; a KV7B board has data
 * in bit 0 (released high whenever not driving) and the clock in bit 1. */
static void mdio_out(unsigned v)
{
    uint8_t b = (uint8_t)v;
    if (KV7B) b = (uint8_t)(((v & MDIO_DRIVE) ? (v & MDIO_DATA) : 1u) | ((v & MDIO_CLOCK) ? 2u : 0u));
    mdio_bus_write(b);
}

static void mdio_send(uint32_t word, int n)
{
    for (int i = 0; i < n; ++i) {
        unsigned b = (word >> (31 - i)) & 1u;
        mdio_out(b | MDIO_DRIVE);
        mdio_out(b | MDIO_DRIVE | MDIO_CLOCK);
    }
}

static uint32_t mdio_recv(int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        mdio_out(0);
        v = (v << 1) | (mdio_bus_read() & 1u);
        mdio_out(MDIO_CLOCK);
    }
    return v;
}

static void mdio_preamble(void) { mdio_send(0xffffffffu, 32); }

/* Fields are masked so that no argument can reach a neighbour's bits. */
static uint32_t mdio_head(unsigned phy, unsigned dev) { return (phy & 0x1fu) << 23 | (dev & 0x1fu) << 18; }

static void mdix_address(unsigned phy, unsigned dev, unsigned addr)
{
    if (dev > 4 || addr == current_pos[dev]) return;
    mdio_preamble();
    mdio_send(mdio_head(phy, dev) | 0x20000u | (addr & 0xffffu), 32);
    current_pos[dev] = addr;
}

static void mdix_write(unsigned phy, unsigned dev, unsigned addr, unsigned val)
{
    if (dev == 0) {
        dev = 1;
        addr += PAGE_BASE;
    }
    mdix_address(phy, dev, addr);
    mdio_preamble();
    mdio_send(mdio_head(phy, dev) | 0x10020000u | (val & 0xffffu), 32);
}

static unsigned mdix_read(unsigned phy, unsigned dev, unsigned addr)
{
    uint32_t op = 0x30000000u;
    int alias = dev == 0;
    if (alias) {
        /* Post-read-increment: a run of consecutive page bytes needs one
         * address frame. */
        dev = 1;
        addr += PAGE_BASE;
        op = 0x20000000u;
    }
    mdix_address(phy, dev, addr);
    mdio_preamble();
    mdio_send(op | mdio_head(phy, dev), 14);
    uint32_t bits = mdio_recv(18);
    if ((bits >> 16) != 2u) {
        printf("Invalid MDI access to PRTADR/PHY %d, MMD %d, bits=0x%x\n", (int)phy, (int)dev, (unsigned)bits);
        return 0;
    }
    if (alias) current_pos[1] = addr + 1;
    return bits & 0xffffu;
}

/* ------------------------------------------------------------------------ */
/* Module access                                                            */
/* ------------------------------------------------------------------------ */

static void fw_command(uint32_t word)
{
    uba_pci_write_long(fw_var.nic, fw_var.cap_vs + UBA_VS_MODE, UBA_VS_MODE_FWCMD);
    uba_pci_write_long(fw_var.nic, fw_var.cap_vs + UBA_VS_DATA, word);
}

static unsigned fw_wait(void)
{
    unsigned st;
    while ((st = nram_pio_read_8(&Ruvo_ram, fw_var.nic_xfp_offset + QUOR_NFW_XFP_STATUS)) == QUOR_NFW_XFP_BUSY)
        sched_yield();
    return st;
}

/* The firmware numbers its ports from the handoff major on; the port byte
 * is 8 bits whatever PHY and KV7B hold. */
static uint32_t fw_port(void) { return ((PHY - (unsigned)KV7B) & 0xffu) << 24; }

static void xfp_prepare(unsigned slave, unsigned start, unsigned count)
{
    if (slave < 2 || !(slave & 1u) || slave > 0xff || count == 0 || start + count > 256)
        fatal_error_func("Invalid module read: address 0x%x, bytes %u to %u\n", slave, start, start + count - 1);
    switch (xfi_type) {
    case XFI_QT2022:
    case XFI_AEL1002: {
        unsigned cmd = (start << 8) + (count == 1 ? 2u : 3u), v;
        mdix_write(PHY, 1, 0x8000, cmd);
        while ((v = mdix_read(PHY, 1, 0x8000)) == cmd + 8) usleep(100000);
        if (v != cmd + 4 && v != cmd)
            fatal_error_func("Fail to read TCVR data (%dbytes op) (page-read-status=0x%x)\n", (int)count, v);
        break;
    }
    case XFI_AEL1010:
        for (unsigned i = start; i < start + count; ++i) {
            mdix_write(PHY, 1, 0xc30a, i + ((slave | 1u) << 8));
            for (;;) {
                unsigned st = mdix_read(PHY, 1, 0xc30c) & 3u;
                if (st <= 1) break;
                if (st == 2) fatal_error_func("Reading XFP %d, status=%d\n", (int)i, 2);
                sched_yield();
            }
            xfp_cache[slave][i] = (uint8_t)(mdix_read(PHY, 1, 0xc30b) >> 8);
        }
        break;
    case XFI_FIRMWARE: {
        unsigned size = (start == 0 && count == 256) ? 0 : count;
        unsigned buf = fw_var.nic_xfp_offset;
        if (size) nram_memset(&Ruvo_ram, buf + start, 0xff, size);
        nram_memset(&Ruvo_ram, buf + QUOR_NFW_XFP_STATUS, 0xff, 1);
        fw_command(fw_port() + (slave << 16) + (start << 8) + size);
        unsigned st = fw_wait();
        if (st != 0) fatal_error_func("Performing xfp-access: %d\n", (int)st);
        nram_memcpy_read(&Ruvo_ram, &xfp_cache[slave][start], buf + start, count);
        break;
    }
    default:
        fatal_error_func("No method\n");
    }
}

static void xfp_cache_refresh(void)
{
    if (opt_multi_read) xfp_prepare(0xA1, 0, 256);
}

static unsigned i2c_read(unsigned slave, unsigned reg)
{
    if (slave == 0) slave = 0xA1;
    else if (slave == 1) slave = 0xA3;
    if (!(slave & 1u) || slave > 0xff || reg > 0xff)
        fatal_error_func("Invalid module read: address 0x%x, register 0x%x\n", slave, reg);
    if (!(slave == 0xA1 && opt_multi_read)) xfp_prepare(slave, reg, 1);
    switch (xfi_type) {
    case XFI_QT2022:
    case XFI_AEL1002:
        return mdix_read(PHY, 0, reg) & 0xffu;
    case XFI_AEL1010:
    case XFI_FIRMWARE:
        return xfp_cache[slave][reg];
    default:
        fatal_error_func("No method");
    }
}

static unsigned i2c_read_16(unsigned bank, unsigned reg) { return (i2c_read(bank, reg) << 8) + i2c_read(bank, reg + 1); }

/* Only the firmware writes to a module; any other method would silently
 * drop the byte.  main checks this once, before anything is shown as set
 * or the bridge is reached. */
static void i2c_write_possible(void)
{
    if (xfi_type != XFI_FIRMWARE)
        fatal_error_func("Nothing written: module writes need the Firmware method, not %s\n", xfi_names[xfi_type]);
}

/* Under the firmware method only (see i2c_write_possible). */
static void i2c_write(unsigned slave, unsigned reg, unsigned val)
{
    if (slave < 2 || (slave & 1u) || slave > 0xff || reg > 0xff || val > 0xff)
        fatal_error_func("Invalid module write: address 0x%x, register 0x%x, value 0x%x\n", slave, reg, val);
    uint8_t b = (uint8_t)val;
    nram_memcpy_write(&Ruvo_ram, fw_var.nic_xfp_offset + reg, &b, 1);
    fw_command(fw_port() + (slave << 16) + (reg << 8) + 1);
    if (fw_wait() != 0) fatal_error_func("Performing tcvr write\n");
}

/* ------------------------------------------------------------------------ */
/* Status reports                                                           */
/* ------------------------------------------------------------------------ */

static const char *bit(unsigned v, unsigned b, const char *set) { return (v >> b) & 1u ? set : ""; }

static void print_ids(unsigned off)
{
    unsigned t = i2c_read(0xA1, off), c = i2c_read(0xA1, off + 2), comp = i2c_read(0xA1, off + 3);
    printf("\tType = %s (%d)\n", t == 3 ? "SFP" : t == 6 ? "XFP" : t == 12 ? "QSFP" : "??", (int)t);
    printf("\tConnector = %s (%d)\n", c == 1 ? "SC" : c == 7 ? "LC" : c == 12 ? "MPO" : "??", (int)c);
    const char *cs = "??";
    if (plug_type == PLUG_XFP)
        cs = comp & 0x80 ? "10GBASE-SR" : comp & 0x40 ? "10GBASE-LR" : comp & 0x20 ? "10GBASE-ER" : "??";
    else
        cs = comp & 0x40 ? "10GBASE-LRM" : comp & 0x20 ? "10GBASE-LR" : comp & 0x10 ? "10GBASE-SR" : "??";
    printf("\tCompliance = %s (%d)\n", cs, (int)comp);
    if (plug_type == PLUG_XFP || plug_type == PLUG_QSFP)
        printf("\tWavelength = %g nm\n", i2c_read_16(0xA1, off + 58) * 0.05);
    else
        printf("\tWavelength = %d nm\n", (int)i2c_read_16(0xA1, off + 60));
    static const char *const text[3] = {"Vendor", "PN", "SN"};
    static const unsigned at[3] = {20, 40, 68};
    for (int k = 0; k < 3; ++k) {
        char s[17];
        for (unsigned i = 0; i < 16; ++i) s[i] = (char)i2c_read(0xA1, off + at[k] + i);
        s[16] = '\0';
        printf("\t%s = %s\n", text[k], s);
    }
    char d[8];
    for (unsigned i = 0; i < 8; ++i) d[i] = (char)i2c_read(0xA1, off + 84 + i);
    printf("\tDate = 20%c%c/%c%c/%c%c (%c%c)\n", d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

struct aux_def {
    const char *name;
    double mult;
    int is_signed;
};
static const struct aux_def aux_defs[16] = {
    {NULL, 0, 0},
    {"APD Bias (V)", 0.01, 0},
    {NULL, 0, 0},
    {"TEC Current (mA)", 0.0001, 0},
    {"Laser Temp (Celsius)", 1.0 / 256, 1},
    {"Laser Wavelength (nm)", 0.05, 0},
    {"+5.0 Supply (V)", 0.0001, 0},
    {"+3.3 Supply (V)", 0.0001, 0},
    {"+1.8 Supply (V)", 0.0001, 0},
    {"-5.2 Supply (V)", 0.0001, 0},
    {"+5.0 Current (mA)", 0.0001, 0},
    {NULL, 0, 0},
    {NULL, 0, 0},
    {"+3.3 Current (mA)", 0.0001, 0},
    {"+1.8 Current (mA)", 0.0001, 0},
    {"-5.2 Current (mA)", 0.0001, 0},
};

static void print_aux(unsigned kind, unsigned word, const char *fmt)
{
    const struct aux_def *a = &aux_defs[kind & 15u];
    if (!a->name) return;
    double v = a->is_signed ? (double)(int16_t)word : (double)word;
    printf(fmt, a->name, v * a->mult);
}

static void print_xfp_flags(const char *title, unsigned b)
{
    printf("\t%s:\n\t%s %s %s %s %s %s %s %s\n", title, bit(b, 7, "+tx-not-ready"), bit(b, 6, "+tx-fault"),
           bit(b, 5, "+tx-tx-cdr-not-locked"), bit(b, 4, "+rx-not-ready"), bit(b, 3, "+rx-loss-of-signal"),
           bit(b, 2, "+rx-cdr-not-locked"), bit(b, 1, "+not-ready"), bit(b, 0, "+reset-complete"));
}

static void xfp_status(void)
{
    printf("XFP info:\n");
    if (xfi_type == XFI_QT2022) {
        unsigned st = mdix_read(PHY, 1, 0xc200);
        printf("\tstatus=0x%x %s %s %s %s\n", st, st & 1 ? "Absent" : "Present", st & 2 ? "NOT-ready" : "Ready",
               st & 8 ? "No-Signal" : "Signal-OK", st & 0x8000 ? "TX-DISABLED" : "TX-ENABLED");
        if (st & 1) return;
    }
    xfp_cache_refresh();
    print_xfp_flags("Latched status", i2c_read(0xA1, 84));
    usleep(200000);
    xfp_cache_refresh();
    print_xfp_flags("Current status", i2c_read(0xA1, 84));
    printf("\tTemp = %g Celsius\n", (int16_t)i2c_read_16(0xA1, 96) / 256.0);
    printf("\tTX bias = %g mA\n", i2c_read_16(0xA1, 100) * 0.002);
    printf("\tTX power = %g mW\n", i2c_read_16(0xA1, 102) * 0.0001);
    printf("\tRX power = %g mW\n", i2c_read_16(0xA1, 104) * 0.0001);
    unsigned kinds = i2c_read(0xA1, 222);
    print_aux(kinds >> 4, i2c_read_16(0xA1, 106), "\t%s = %.4f\n");
    print_aux(kinds & 15u, i2c_read_16(0xA1, 108), "\t%s = %g\n");
    print_ids(128);
}

/* Supply voltage in units of 100 uV, unsigned: read as signed, every supply
 * above 3.2767 V (3.3 V among them) would show as negative. */
static double vcc(unsigned word) { return word * 0.0001; }

static void sfpp_status(void)
{
    printf("SFP+ info:\n");
    xfp_cache_refresh();
    unsigned b = i2c_read(0xA3, 110);
    printf("\tCurrent status:\n\t%s %s %s %s %s\n", bit(b, 7, "+tx-disable"), bit(b, 6, "+soft-tx-disable"),
           bit(b, 2, "+tx-fault"), bit(b, 1, "+rx-los"), bit(b, 0, "+not-data-ready-bar"));
    printf("\tTemp = %g Celsius\n", (int16_t)i2c_read_16(0xA3, 96) / 256.0);
    printf("\tVcc = %g V\n", vcc(i2c_read_16(0xA3, 98)));
    printf("\tTX bias = %g mA\n", i2c_read_16(0xA3, 100) * 0.002);
    printf("\tTX power = %g mW\n", i2c_read_16(0xA3, 102) * 0.0001);
    printf("\tRX power = %g mW\n", i2c_read_16(0xA3, 104) * 0.0001);
    print_ids(0);
}

static void qsfp_lanes(const char *fmt, unsigned b, const char *const names[4])
{
    printf(fmt, bit(b, 0, names[0]), bit(b, 1, names[1]), bit(b, 2, names[2]), bit(b, 3, names[3]));
}

static void qsfp_status(void)
{
    static const char *const rx[4] = {"rx1", "rx2", "rx3", "rx4"};
    static const char *const tx1[4] = {"tx1", "tx2", "tx3", "tx4"};
    static const char *const tx0[4] = {"tx0", "tx1", "tx2", "tx3"};
    printf("QSFP info:\n");
    xfp_cache_refresh();
    printf("SN-digit=%c\n", (int)i2c_read(0xA1, 205));
    unsigned st = i2c_read(0xA1, 2);
    printf("status(0x%x): %s %s\n", st, bit(st, 0, "Not-Ready"), bit(st, 1, "IntL"));
    qsfp_lanes("LOS: latched = %s %s %s %s\n", i2c_read(0xA1, 3), rx);
    qsfp_lanes("LOS: current = %s %s %s %s\n", i2c_read(0xA1, 3), rx);
    qsfp_lanes("TX-Fault: latched = %s %s %s %s\n", i2c_read(0xA1, 4), tx1);
    qsfp_lanes("TX-Fault current = %s %s %s %s\n", i2c_read(0xA1, 4), tx0);
    printf("\tTemp = %g Celsius\n", (int16_t)i2c_read_16(0xA1, 22) / 256.0);
    printf("\tVcc = %g V\n", vcc(i2c_read_16(0xA1, 26)));
    printf("\tTX disable = 0x%x\n", i2c_read(0xA1, 86));
    printf("\n");
    print_ids(128);
}

static void dump_bank(unsigned slave)
{
    for (unsigned i = 0; i < 256; ++i) {
        if (i % 16 == 0) printf("\n0x%02x: ", i);
        printf("%02x ", i2c_read(slave, i));
    }
}

/* ------------------------------------------------------------------------ */
/* Start-up                                                                 */
/* ------------------------------------------------------------------------ */

/* Plug field of a product code: 0 and the field, or -1 when the code has
 * no second '-'.  A field longer than every known suffix is returned cut
 * short with *too_long set, so that it can only be unknown. */
static int pc_plug_field(const char *pc, char field[QUOR_PC_PLUG_MAX + 1], int *too_long)
{
    const char *q = pc + QUOR_PC_PREFIX_LEN;
    while (*q && *q != '-') ++q;
    if (*q == '-') ++q;
    q = strchr(q, '-');
    if (!q) return -1;
    size_t n = 0;
    *too_long = 0;
    field[n++] = *q++;
    if (*q) {
        field[n++] = *q++;
        for (; (*q >= 'A' && *q <= 'Z') || *q == '2' || *q == '4'; ++q) {
            if (n == QUOR_PC_PLUG_MAX) {
                *too_long = 1;
                break;
            }
            field[n++] = *q;
        }
    }
    field[n] = '\0';
    return 0;
}

/* The plug entry of a product code, or NULL when the suffix is unknown. */
static const struct quor_pc_plug *pc_lookup(const char *pc)
{
    char field[QUOR_PC_PLUG_MAX + 1];
    int too_long = 0;
    if (pc_plug_field(pc, field, &too_long) != 0)
        fatal_error_func("Product code without a plug field, PC=%s\n", pc);
    if (too_long) return NULL;
    for (int i = 0; i < QUOR_PC_PLUGS; ++i)
        if (strcmp(field, quor_pc_plugs[i].suffix) == 0) return &quor_pc_plugs[i];
    return NULL;
}

/* Reads the firmware's string specs: product code, PHY chip, variant.
 * opt_xfi is the method an option chose (XFI_NONE when none). */
static void parse_string_spec(int opt_xfi)
{
    nfw_gen_header h;
    uba_nfw_header(&Ruvo_ram, &h);
    uint32_t specs_off = quor_nfw_be32(&h.string_specs);
    if (!quor_nfw_addr_ok(specs_off)) fatal_error_func("Cannot find nfw string specs, specs_off=0x%x\n", specs_off);
    static char specs[QUOR_NFW_SPECS_LEN];
    nram_memcpy_read(&Ruvo_ram, specs, specs_off, sizeof specs);
    specs[sizeof specs - 2] = specs[sizeof specs - 1] = '\0';
    KV7B = quor_nfw_be16(&h.handoff_id_major);

    const char *pc = "", *phy = "";
    for (const char *p = specs; p < specs + sizeof specs && *p; p += strlen(p) + 1) {
        if (strncmp(p, "PC=", 3) == 0) pc = p + 3;
        else if (strncmp(p, "XFI=", 4) == 0) phy = p + 4;
    }
    if (strcmp(pc, QUOR_PC_PROTO) == 0) pc = QUOR_PC_PROTO_AS;
    if (strncmp(pc, QUOR_PC_PREFIX, QUOR_PC_PREFIX_LEN) != 0) fatal_error_func("Unknown Quor 10G NIC, PC=%s\n", pc);
    const struct quor_pc_plug *plug = pc_lookup(pc);
    if (plug) {
        plug_type = plug->plug;
        if (plug->dual && PHY == 0) PHY = 1;
    } else if (opt_xfi == XFI_FIRMWARE) {
        fprintf(stderr, "Unknown card PC=%s\n", pc);
    } else {
        fatal_error_func("Unknown card PC=%s\n", pc);
    }
    if (strcmp(phy, "AEL1010") == 0) xfi_type = XFI_AEL1010;
    else if (strcmp(phy, "QT2022") == 0) xfi_type = XFI_QT2022;
    if (xfi_type == XFI_NONE) {
        if (plug_type == PLUG_XFP) xfi_type = XFI_QT2022;
        else if (plug_type == PLUG_QSFP) xfi_type = XFI_FIRMWARE;
        else if (plug_type == PLUG_SFPP) xfi_type = KV7B ? XFI_FIRMWARE : XFI_AEL1010;
    }
    if (xfi_type == XFI_NONE && opt_xfi == XFI_NONE)
        fatal_error_func("only applies to NIC with PHY mgmt (XFP/SFP+/QSFP), not this card:\n\t\t PC=%s  phy=%s "
                         "plug=%s\n",
                         pc, phy, plug_names[plug_type]);
    printf("Found %s: XFI=%s, PLUG=%s\n", pc, xfi_names[xfi_type], plug_names[plug_type]);
}

static void open_board(int board, int mmio, int opt_xfi)
{
    uba_nic *nic = uba_open(board, UBA_KV, mmio ? 0 : UBA_BAR_SKIP);
    if (mmio) {
        if (!nic->base || !nic->base2) fatal_error_func("Board %d has no BAR0 or BAR2 mapping for -N\n", board);
        nram_open_pio(&Ruvo_regs, nic->base2 + BAR2_REGS);
        nram_open_pio(&Ruvo_ram, nic->base);
    } else {
        nram_open_cfg_pio(&Ruvo_regs, nic);
        Ruvo_regs.offset = REGS_OFFSET;
        nram_open_cfg_pio(&Ruvo_ram, nic);
    }
    parse_string_spec(opt_xfi);
    if (opt_xfi != XFI_NONE) xfi_type = opt_xfi;

    if (xfi_type == XFI_FIRMWARE || opt_xfi == XFI_NONE) {
        int vs = uba_vs_offset(nic);
        uba_pci_write_long(nic, vs + UBA_VS_MODE, UBA_VS_MODE_FWCMD);
        uba_pci_write_long(nic, vs + UBA_VS_ADDR, 0);
        uba_pci_write_long(nic, vs + UBA_VS_DATA, QUOR_NFW_XFP_QUERY);
        uint32_t buf = uba_pci_read_long(nic, vs + UBA_VS_ADDR);
        if (buf == 0 && xfi_type == XFI_FIRMWARE) fatal_error_func("Firmware does not support XFP query prog-intf\n");
        /* The buffer and its status byte must lie in adapter memory: with -N
         * they are reached through a mapping of just that size. */
        if (buf != 0 &&
            (nic->sram_size < QUOR_NFW_XFP_STATUS + 1 || buf > nic->sram_size - (QUOR_NFW_XFP_STATUS + 1)))
            fatal_error_func("Firmware module buffer outside adapter memory: 0x%x\n", buf);
        if (buf != 0 && xfi_type != XFI_FIRMWARE) {
            fprintf(stderr, "Using Firmware method rather than %s\n", xfi_names[xfi_type]);
            xfi_type = XFI_FIRMWARE;
        }
        fw_var.nic = nic;
        fw_var.cap_vs = vs;
        fw_var.nic_xfp_offset = buf;
    }
    printf("Using method: %s\n", xfi_names[xfi_type]);
}

/* The method and module a board behind the bridge is reached with: known
 * before connecting, so that a refusal is the one message. */
static void bridge_method(int opt_xfi)
{
    if (opt_xfi == XFI_FIRMWARE)
        fatal_error_func("The Firmware method needs a board in this host, not the bridge\n");
    /* An explicit -1 .. -4 still names the PHY. */
    if (PHY == 0) PHY = 1;
    xfi_type = XFI_AEL1010;
    plug_type = PLUG_SFPP;
}

static void open_bridge(const uba_bridge_addr *a)
{
    fprintf(stderr, "Opening %s:%d:%d\n", a->host, a->slot, a->port);
    nram_open_2z(&Ruvo_ram, a->host, a->slot, a->port);
    Ruvo_regs = Ruvo_ram;
    Ruvo_regs.offset = REGS_OFFSET;
    printf("Using method: %s\n", xfi_names[xfi_type]);
}

/* ------------------------------------------------------------------------ */
/* Actions                                                                  */
/* ------------------------------------------------------------------------ */

struct quake_reg {
    unsigned dev, reg;
    const char *name;
};
static const struct quake_reg quake_list[] = {
    {1, 0x0, "pma/pmd ctl"},
    {1, 0x1, "pma/pmd status"},
    {1, 0x2, "pma/pmd id0"},
    {1, 0x3, "pma/pmd id1"},
    {1, 0x4, "pma/pmd speed ability"},
    {1, 0x5, "pma/pmd devs0"},
    {1, 0x6, "pma/pmd devs1"},
    {1, 0x7, "pma/pmd ctl_2"},
    {1, 0x9, "pma/pmd rx dis"},
    {1, 0xa, "pma/pmd rx sig"},
    {1, 0xe, "pma/pmd oui_0"},
    {1, 0xf, "pma/pmd oui_1"},
    {1, 0x8000, "pma/pmd vs nvr ctl"},
    {1, 0x800d, "pma/pmd vs msa customer field adr"},
    {1, 0x800e, "pma/pmd vs msa vendor field adr"},
    {1, 0x8018, "pma/pmd vs msa 10gbase-type field"},
    {1, 0x9000, "pma/pmd rx alrm ctl"},
    {1, 0x9001, "pma/pmd tx alrm ctl"},
    {1, 0x9002, "pma/pmd lasi ctl"},
    {1, 0x9003, "pma/pmd rx alrm status"},
    {1, 0x9004, "pma/pmd tx alrm status"},
    {1, 0x9005, "pma/pmd lasi status"},
    {1, 0x9006, "pma/pmd tx flag ctl"},
    {1, 0x9007, "pma/pmd rx flag ctl"},
    {1, 0xc001, "pma/pmd vs ctl"},
    {1, 0xc025, "pma/pmd vs fiber power"},
    {1, 0xc200, "pma/pmd xfp sta"},
    {1, 0xc201, "pma/pmd xfp ctl"},
    {1, 0xd000, "pma/pmd quake PC0"},
    {1, 0xd001, "pma/pmd quake PC1"},
    {1, 0xd004, "pma/pmd output pads"},
    {1, 0xd006, "pma/pmd LED1"},
    {1, 0xd007, "pma/pmd LED2"},
    {1, 0xd008, "pma/pmd LED3"},
    {3, 0x0, "pcs ctl_1"},
    {3, 0x1, "pcs sta_1"},
    {3, 0x2, "pcs id_0"},
    {3, 0x3, "pcs id_1"},
    {3, 0x20, "pcs 10base-R sta_1"},
    {3, 0x21, "pcs 10base-R sta_2"},
    {4, 0x0, "xs ctl_1"},
    {4, 0x1, "xs sta_1"},
    {4, 0x2, "xs id_0"},
    {4, 0x3, "xs id_1"},
    {4, 0x18, "xs lane sta"},
    {4, 0xc002, "xs vs sta"},
};

struct reg_arg {
    unsigned dev, reg;
};

/* "<dev>.<reg>": a device up to 31 (a module address up to 0xff with -i)
 * and a register that keeps count - 1 further registers in range.  Device
 * 0 is the module page at MMD 1 0x8007 on: it must stay below 0x10000. */
static struct reg_arg parse_reg(const char *s, int i2c, unsigned long long count)
{
    struct reg_arg r;
    unsigned long long dev, reg;
    const char *dot = NULL;
    if (parse_num(s, '.', ULLONG_MAX, &dev, &dot) != 0) fatal_error_func("Invalid register syntax: %s\n", s);
    if (parse_num(dot + 1, '\0', ULLONG_MAX, &reg, NULL) != 0) fatal_error_func("Invalid register syntax: %s\n", s);
    unsigned long long dev_max = i2c ? 0xff : 31;
    unsigned long long reg_max = i2c ? 0xff : dev == 0 ? 0xffff - PAGE_BASE : 0xffff;
    if (dev > dev_max || reg > reg_max || count - 1 > reg_max - reg)
        fatal_error_func("Register out of range: %s (device up to %llu, last register up to 0x%llx)\n", s, dev_max,
                         reg_max);
    r.dev = (unsigned)dev;
    r.reg = (unsigned)reg;
    return r;
}

static void read_rate(void)
{
    unsigned v[100];
    unsigned long long sum = 0;
    mdix_read(PHY, 3, 0xc037);
    uint64_t t0 = uba_xget_usecs();
    for (int i = 0; i < 100; ++i) v[i] = mdix_read(PHY, 3, 0xc037);
    uint64_t us = uba_xget_usecs() - t0;
    for (int i = 0; i < 100; ++i) {
        printf("0x%x\n", v[i]);
        sum += v[i];
    }
    printf("%g Mbit/s of DOWN\n", (double)(sum * 32) / (double)(us ? us : 1));
}

int main(int argc, char **argv)
{
    int board = 0, opt_v = 0, opt_N = 0, opt_R = 0, opt_x = 0, opt_i = 0, opt_l = -1;
    int opt_xfi = XFI_NONE;
    unsigned long long count = 1;
    const char *bridge = NULL;
    int c;

    setvbuf(stdout, NULL, _IOLBF, 0);
    opterr = 0; /* the usage is the one message */
    while ((c = getopt(argc, argv, "b:r:n:g:vNRxsSaf4321il:")) != -1) {
        switch (c) {
        case 'b': board = (int)uba_number_arg('b', optarg, 0, 0, INT_MAX, "a board number"); break;
        case 'r': nram_open_rabbit(&Ruvo_ram, optarg); break;
        case 'n': count = uba_number_arg('n', optarg, 0, 1, 0x10000, "a register count"); break;
        case 'g': bridge = optarg; break;
        case 'v': opt_v = 1; break;
        case 'N': opt_N = 1; break;
        case 'R': opt_R = 1; break;
        case 'x': ++opt_x; break;
        case 's': opt_multi_read = 0; break;
        case 'S': opt_multi_read = 1; break;
        case 'a': opt_xfi = XFI_AEL1010; break;
        case 'f': opt_xfi = XFI_FIRMWARE; break;
        case '1':
        case '2':
        case '3':
        case '4': PHY = (unsigned)(c - '0'); break;
        case 'i': opt_i = 1; break;
        case 'l': opt_l = (int)uba_number_arg('l', optarg, 0, 0, INT_MAX, "a laser setting"); break;
        default: usage();
        }
    }
    int nargs = argc - optind;
    if (nargs > 2) usage();

    /* Everything the command line says is checked before the board is
     * touched: a refusal writes nothing. */
    struct reg_arg ra = {0, 0};
    unsigned long long val = 0;
    if (nargs >= 1) ra = parse_reg(argv[optind], opt_i, nargs == 2 ? 1 : count);
    if (nargs == 2 && parse_num(argv[optind + 1], '\0', opt_i ? 0xff : 0xffff, &val, NULL) != 0)
        fatal_error_func("Invalid value: %s (a whole number up to 0x%x)\n", argv[optind + 1], opt_i ? 0xff : 0xffff);

    /* The port goes into one byte of the bridge's packets. */
    static uba_bridge_addr bridge_addr;
    if (bridge) uba_bridge_arg(bridge, 0, 255, &bridge_addr);

    enum { DUMP_PHY, READ, WRITE, READ_RATE, STATUS, DUMP_MODULE } action =
        opt_v ? DUMP_PHY : nargs == 1 ? READ : nargs == 2 ? WRITE : opt_R ? READ_RATE : opt_x <= 1 ? STATUS
                                                                                                  : DUMP_MODULE;
    if (bridge) bridge_method(opt_xfi);
    else open_board(board, opt_N, opt_xfi);
    /* The one check of a module write, now that the method is known and
     * before the bridge is reached or anything is shown as set. */
    if ((action == WRITE && opt_i) || (action == STATUS && plug_type == PLUG_QSFP && opt_l >= 0))
        i2c_write_possible();
    if (bridge) open_bridge(&bridge_addr);

    if (action == DUMP_PHY) {
        for (size_t k = 0; k < sizeof quake_list / sizeof quake_list[0]; ++k)
            printf("%d.%xh (%s): 0x%x\n", (int)quake_list[k].dev, quake_list[k].reg, quake_list[k].name,
                   mdix_read(PHY, quake_list[k].dev, quake_list[k].reg));
    } else if (action == READ) {
        for (unsigned k = 0; k < count; ++k) {
            unsigned r = ra.reg + k;
            unsigned v = opt_i ? i2c_read(ra.dev, r) : mdix_read(PHY, ra.dev, r);
            printf("0x%x.%xh = 0x%x\n", ra.dev, r, v);
        }
    } else if (action == WRITE) {
        printf("Setting %d.%xh = 0x%x\n", (int)ra.dev, ra.reg, (unsigned)val);
        if (opt_i) i2c_write(ra.dev, ra.reg, (unsigned)val);
        else mdix_write(PHY, ra.dev, ra.reg, (unsigned)val);
    } else if (action == READ_RATE) {
        read_rate();
    } else if (action == STATUS) {
        if (plug_type == PLUG_XFP) {
            xfp_status();
        } else if (plug_type == PLUG_SFPP) {
            sfpp_status();
        } else if (plug_type == PLUG_QSFP) {
            if (opt_l >= 0) i2c_write(0xA0, 86, opt_l == 0 ? 0x0f : 0);
            else qsfp_status();
        } else {
            fatal_error_func("No method\n");
        }
    } else {
        xfp_cache_refresh();
        dump_bank(0xA1);
        printf("\n\nBank 0xA2:\n");
        if (plug_type == PLUG_SFPP) dump_bank(0xA3);
        printf("\n");
    }
    nram_close(&Ruvo_regs);
    return 0;
}
