/*
 * uba.h - board access library of the maintenance tools.
 *
 * PCI configuration access by several methods and the bus scan, board open
 * and selection, adapter memory access, and the checked system-call wrappers.
 * Every failure the library cannot recover from prints one "ERROR:" line on
 * standard error and ends the process with status 1.
 *
 * Single-threaded.  Valid C11 and C++.
 */
#ifndef UBA_H
#define UBA_H

#include <stddef.h>
#include <stdint.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <netdb.h>

#ifdef __cplusplus
extern "C" {
#define UBA_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define UBA_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#if defined(__GNUC__)
#define UBA_PRINTF(f, a) __attribute__((format(printf, f, a)))
#define UBA_NORETURN __attribute__((noreturn))
#else
#define UBA_PRINTF(f, a)
#define UBA_NORETURN
#endif

/* ======================================================================== */
/* Checked system-call wrappers                                              */
/* ======================================================================== */

/* With has_error nonzero: "ERROR:", "base:line:" when file is given, the
 * message, a newline; exit status 1.  With has_error 0 it returns. */
void handle_error_func(int has_error, const char *file, int line, const char *format, ...)
    UBA_PRINTF(4, 5);
void fatal_error_func(const char *format, ...) UBA_PRINTF(1, 2) UBA_NORETURN;

/* Formats a socket address into buf (at least 50 characters). */
char *straddr(const struct sockaddr *addr, socklen_t alen, char *buf);
uint64_t uba_xget_usecs(void);

void *uba_xmalloc(size_t len);
void *uba_xrealloc(void *ptr, size_t len);
int uba_xsocket(int family, int type, int proto);
int uba_xxbind(const char *file, int line, int fd, const struct sockaddr *addr, socklen_t alen);
int uba_xlisten(int s, int backlog);
ssize_t uba_xrecv(int s, void *buf, size_t len, int flags);
ssize_t uba_xfullrecv(int fd, void *buf, size_t len, int flags);
ssize_t uba_xsend(int s, const void *buf, size_t len, int flags);
struct hostent *uba_xgethostbyname(const char *host);
int uba_xconnect(int s, const struct sockaddr *addr, socklen_t alen);
int uba_xaccept(int s, struct sockaddr *addr, socklen_t *alen);
int uba_xopen(const char *path, int flags, ...);
ssize_t uba_xread(int fd, void *buf, size_t len);
ssize_t uba_xfullread(int fd, void *buf, size_t len);
ssize_t uba_xxwrite(const char *file, int line, int fd, const void *buf, size_t n);
ssize_t uba_xpartwrite(int fd, const void *buf, size_t n);
ssize_t uba_xwritev(int s, const struct iovec *iov, int count);
ssize_t uba_xxpwrite(const char *file, int line, int fd, const void *buf, size_t n, off_t offset);
ssize_t uba_xxpread(const char *file, int line, int fd, void *buf, size_t n, off_t offset);
ssize_t uba_xxfullpread(const char *file, int line, int fd, void *buf, size_t n, off_t offset);
int uba_xxsystem(const char *file, int line, const char *command);
int uba_xxsystemp(const char *file, int line, const char *argv0, const char *command);
pid_t uba_xfork(void);
int uba_xexeclp(const char *path, ...);
int uba_xxioctl(const char *file, int line, int fd, unsigned long request, void *arg);

#define uba_xbind(fd, a, l) uba_xxbind(__FILE__, __LINE__, fd, a, l)
#define uba_xwrite(fd, b, n) uba_xxwrite(__FILE__, __LINE__, fd, b, n)
#define uba_xpwrite(fd, b, n, o) uba_xxpwrite(__FILE__, __LINE__, fd, b, n, o)
#define uba_xpread(fd, b, n, o) uba_xxpread(__FILE__, __LINE__, fd, b, n, o)
#define uba_xfullpread(fd, b, n, o) uba_xxfullpread(__FILE__, __LINE__, fd, b, n, o)
#define uba_xsystem(c) uba_xxsystem(__FILE__, __LINE__, c)
#define uba_xsystemp(a, c) uba_xxsystemp(__FILE__, __LINE__, a, c)
#define uba_xioctl(fd, r, a) uba_xxioctl(__FILE__, __LINE__, fd, r, a)

/* ======================================================================== */
/* Command-line words of the tools                                          */
/* ======================================================================== */

/* The number given to option -opt, a whole number in base (10, or 0 for the
 * C forms) from min to max; anything else ends the process with
 * "ERROR:Invalid number for -<opt>: <text> (-<opt> wants <what> from <min>
 * to <max>)". */
unsigned long long uba_number_arg(char opt, const char *text, int base, unsigned long long min,
                                  unsigned long long max, const char *what);

/* A JTAG bridge address, host[:slot[:port]]. */
typedef struct uba_bridge_addr {
    char host[256];
    int slot; /* 0 when not given */
    int port; /* 0 when not given */
} uba_bridge_addr;

/* Reads -g host[:slot[:port]]: slot and port whole numbers in base, the slot
 * below INT_MAX, the port up to max_port (what the tool sends it in).  A
 * refusal ends the process with "ERROR:Invalid bridge address for -g: ...". */
void uba_bridge_arg(const char *text, int base, int max_port, uba_bridge_addr *out);

/* ======================================================================== */
/* PCI configuration access and bus scan                                     */
/* ======================================================================== */

typedef struct pci_access pci_access;
typedef struct pci_dev pci_dev;
typedef struct pci_dev *pci_dev_t;

#define UBA_PCI_MAX_CHILD 4

struct pci_dev {
    uint16_t vendor_id;
    uint16_t device_id;
    uint16_t device_class; /* word at offset 10: class and subclass */
    uint64_t base_addr[6]; /* raw BARs; a 64-bit BAR whole in its first slot */
    uint64_t size[6];
    uint8_t domain, bus, dev, func;
    uint8_t irq; /* byte at offset 60 */
    uint8_t rw;
    uint8_t is_bridge;
    uint8_t secondary_bus;
    struct pci_dev *parent; /* bridge whose secondary bus this is on */
    struct pci_access *pci; /* method that found it */
    char name[32];          /* "bb:dd.f" or "dddd:bb:dd.f" */
    struct pci_dev *next;
    struct pci_dev *child[UBA_PCI_MAX_CHILD];
    unsigned child_nb;
    /* Room for other platforms' access methods; unused here. */
    char os_file[64];
    intptr_t os_handle;
    uint32_t os_cfg_addr;
    char os_slot[32];
};

/* Private state of each method; its pci_access is embedded in it. */
struct uba_pci_zalcfg;
struct uba_pci_mm;
struct uba_pci_fbsd;

struct uba_pci_ops {
    const char *name;
    unsigned (*readb)(pci_dev_t dev, unsigned offset);
    unsigned (*readw)(pci_dev_t dev, unsigned offset);
    unsigned (*readl)(pci_dev_t dev, unsigned offset);
    int (*writeb)(pci_dev_t dev, unsigned offset, uint8_t value);
    int (*writew)(pci_dev_t dev, unsigned offset, uint16_t value);
    int (*writel)(pci_dev_t dev, unsigned offset, uint32_t value);
    void (*init)(pci_access *a);
    void (*fini)(pci_access *a);
    void *(*mmap_bar)(pci_dev_t dev, int bar, uint64_t offset, size_t length);
    int (*has_bus)(pci_access *a, int domain, int bus);
    int (*can_access_ext_conf)(pci_dev_t dev);
    int (*probe)(pci_access *a);
    pci_dev_t (*init_dev)(pci_dev_t dev);
    void (*close_dev)(pci_dev_t dev);
};

struct pci_access {
    union {
        struct uba_pci_zalcfg *zalcfg;
        struct uba_pci_mm *mm;
        struct uba_pci_fbsd *fbsd;
        void *any;
    } u;
    pci_dev *devices;
    pci_dev **dev_tail;
    const struct uba_pci_ops *ops;
    int max_domains;
    int method;
};

#define UBA_PCI_METHODS 11
#define UBA_PCI_ZALCFG 1
#define UBA_PCI_MM 3
#define UBA_PCI_FBSD 5
#define UBA_ZALCFG_LETTERS 26

struct uba_pci_zalcfg {
    pci_access acc;
    int32_t fd[UBA_ZALCFG_LETTERS]; /* zal_handle_t, -1 when not open */
    uint32_t nbcard[UBA_ZALCFG_LETTERS];
};

struct uba_pci_mm {
    pci_access acc;
    volatile uint8_t *mapped_addr;
    uint64_t phy_addr;
    uint32_t size;
};

struct uba_pci_fbsd {
    pci_access acc;
    int fbsd_handle;
};

extern pci_access *pci_methods[UBA_PCI_METHODS];

struct uba_pci_state {
    pci_dev_t **bridges; /* per domain: 256 bridges by secondary bus */
    pci_access *pci;     /* the chosen method, null until chosen */
};
extern struct uba_pci_state uba_pci;
extern int uba_verbose;

typedef struct pci_filter {
    int vid, did, domain, bus, slot, func; /* -1 matches anything */
} pci_filter;

typedef enum uba_criteria_type_t {
    PCI_SELECT_SLOT = 1,
    PCI_SELECT_ID = 2,
    PCI_SELECT_QUOR_GENERATION = 3
} uba_criteria_type_t;

typedef union uba_criteria_t {
    const char *str;
    int mask;
} uba_criteria_t;

void uba_pci_init(void);
void uba_pci_register(int method, pci_access *access);
void uba_choose_method(void);
void uba_pci_method(unsigned m);
pci_access *pci_alloc(void);
void pci_scan_bus(pci_access *a);
void uba_pci_rescan(void);
pci_dev *uba_pci_dev_init(pci_access *a, pci_dev *d, int domain, int bus, int slot, int func);

unsigned pci_read_byte(pci_dev_t dev, unsigned offset);
unsigned pci_read_word(pci_dev_t dev, unsigned offset);
unsigned pci_read_long(pci_dev_t dev, unsigned offset);
int pci_write_byte(pci_dev_t dev, unsigned offset, uint8_t value);
int pci_write_word(pci_dev_t dev, unsigned offset, uint16_t value);
int pci_write_long(pci_dev_t dev, unsigned offset, uint32_t value);
int pci_read_block(pci_dev_t dev, unsigned offset, void *buffer, unsigned length);
void _pci_read_bitfield(pci_dev_t dev, unsigned offset, void *field, unsigned size);
void _pci_write_bitfield(pci_dev_t dev, unsigned offset, const void *field, unsigned size);

unsigned uba_find_capability_n(pci_dev_t dev, int cap_id, int idx);
unsigned uba_find_hyper_capability(pci_dev_t dev, int hyper_id, int idx);
int uba_can_access_ext_conf(pci_dev_t dev);
unsigned uba_find_ext_capability(pci_dev_t dev, int ext_cap_id);
const char *uba_pci_name(pci_dev_t dev);

void uba_make_filter(uba_criteria_type_t type, const char *text, pci_filter *f);
void pci_filter_parse_slot(pci_filter *f, const char *text);
void pci_filter_parse_id(pci_filter *f, const char *text);
int pci_filter_match(const pci_filter *f, pci_dev_t dev);

/* Physical memory: file null means $UBA_DEVMEM, else /dev/mem. */
void *ioremap_dev(const char *file, uint64_t address, size_t size, int nofail);
void *ioremap(uint64_t address, size_t size);
void iounmap_phys(void *pointer, uint64_t address, size_t size);
/* The file ioremap maps: $UBA_DEVMEM when set and not empty, else /dev/mem. */
const char *uba_devmem_path(void);

/* ======================================================================== */
/* Board open and selection                                                  */
/* ======================================================================== */

typedef enum uba_nic_type_t {
    UBA_RUVO4 = 1,
    UBA_PCI64 = 2,
    UBA_RUVOX = 4,
    UBA_KV = 8,
    UBA_UNKNOWN = 0x40000000
} uba_nic_type_t;

enum uba_open_flags {
    UBA_BAR0_SKIP = 0x10000000,
    UBA_BAR2_SKIP = 0x20000000,
    UBA_BAR_SKIP = 0x30000000,
    UBA_BAR_CFG = 0x08000000
};

/* Vendor id of current-generation boards unless $UBA_KV7_VID says otherwise. */
#define UBA_KV7_DEFAULT_VID 0x5153
#define UBA_KV7_DEFAULT_DID 0x0008
#define UBA_FAMILY_OLD_VID 0x10e8

/* Old EEPROM image (64-bit PCI boards, at BAR0 + 0xA00000). */
typedef struct uba_old_eeprom {
    uint32_t ruvo_clockval;
    uint16_t ruvo_cpu_version;
    uint8_t ruvo_board_id[6];
    uint32_t ruvo_sram_size;
    char fpga_version[32];
    char more_version[16];
    uint16_t delay_line_value;
    uint16_t board_type;
    uint16_t bus_type;
    uint16_t product_code;
    uint32_t serial_number;
    char board_label[32];
    uint16_t max_ruvo_speed;
    uint16_t future_use[7];
    uint8_t reserved[4];
} uba_old_eeprom;
UBA_STATIC_ASSERT(sizeof(uba_old_eeprom) == 128, "old eeprom image size");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, ruvo_sram_size) == 12, "ruvo_sram_size");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, fpga_version) == 16, "fpga_version");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, delay_line_value) == 64, "delay_line_value");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, serial_number) == 72, "serial_number");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, board_label) == 76, "board_label");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, max_ruvo_speed) == 108, "max_ruvo_speed");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, future_use) == 110, "future_use");
UBA_STATIC_ASSERT(offsetof(uba_old_eeprom, reserved) == 124, "reserved");

typedef struct uba_nic {
    pci_dev_t dev;
    uint8_t *base;  /* BAR0 mapping or null */
    uint8_t *base2; /* BAR2 mapping or null */
    uint8_t *cfg;   /* configuration space through a BAR window, or null */
    uba_old_eeprom *eeprom;
    uint32_t sram_size;
    uint32_t bar2_size;
    int rev;
    uba_nic_type_t type;
    int num_ports;
    uint64_t phys, phys2;
    uint8_t cfg_cap[256]; /* configuration offset of each capability id */
} uba_nic;

uba_nic_type_t uba_nic_type(pci_dev_t dev);
int uba_select(uba_criteria_type_t type, uba_criteria_t criterion, pci_dev_t **devs, int *count);
int uba_num_dev(int mask);
uba_nic *uba_open_e(int unit, int mask, int flags);
uba_nic *uba_open(int unit, int mask, int flags);
void *uba_ioremap(uba_nic *nic, int bar, size_t length);
void *zalcfg_mmap(pci_dev_t dev, uint64_t offset, size_t length);

uint8_t uba_pci_read_byte(uba_nic *nic, int offset);
uint16_t uba_pci_read_word(uba_nic *nic, int offset);
uint32_t uba_pci_read_long(uba_nic *nic, int offset);
void uba_pci_write_byte(uba_nic *nic, int offset, uint8_t value);
void uba_pci_write_word(uba_nic *nic, int offset, uint16_t value);
void uba_pci_write_long(uba_nic *nic, int offset, uint32_t value);

/* ======================================================================== */
/* Adapter memory access                                                     */
/* ======================================================================== */

typedef enum nram_type {
    NRAM_EEPROM = 1,
    NRAM_PIO = 2,
    NRAM_RABBIT = 3,
    NRAM_CFG_PIO = 4,
    NRAM_FILE = 5,
    NRAM_IOPORT = 6,
    NRAM_PCICONF = 7,
    NRAM_2Z = 8
} nram_type;

/* Registers of the vendor-specific capability window, by offset from it. */
#define UBA_VS_CAP_ID 9
#define UBA_VS_EEPROM_RADDR 4
#define UBA_VS_EEPROM_RDATA 8
#define UBA_VS_EEPROM_WRITE 12
#define UBA_VS_MODE 16
#define UBA_VS_VERSION 17
#define UBA_VS_DATA 20
#define UBA_VS_ADDR 24
/* The window must fit below the end of the standard header space. */
#define UBA_VS_MAX 225

enum uba_vs_mode {
    UBA_VS_MODE_READ8 = 1,
    UBA_VS_MODE_READ16 = 2,
    UBA_VS_MODE_READ32 = 3,
    UBA_VS_MODE_WRITE8 = 5,
    UBA_VS_MODE_WRITE16 = 6,
    UBA_VS_MODE_WRITE32 = 7,
    UBA_VS_MODE_SCAN = 8,
    UBA_VS_MODE_FWCMD = 10,
    UBA_VS_MODE_EEPROM_BLOCK = 11,
    UBA_VS_MODE_FAILOVER = 12
};

#define UBA_SCAN_KV7A_READ_BITS 636
#define UBA_SCAN_KV7B_READ_BITS 896
#define UBA_SCAN_KV7A_WRITE_BITS 420
#define UBA_SCAN_KV7B_WRITE_BITS 582
#define UBA_SCAN_L2Z_RDWR_BITS 610

/* JTAG bridge client state (the bridge protocol fills it). */
typedef struct uba_2z_scan_req {
    uint32_t slot, command, rxlen, txlen; /* big-endian on the wire */
} uba_2z_scan_req;
UBA_STATIC_ASSERT(sizeof(uba_2z_scan_req) == 16, "bridge request size");

#define UBA_2Z_MAX_CMDS 32
struct uba_l2z {
    struct sockaddr_in addr;
    int slot;
    int port;
    int old;
    int socket;
    uint32_t id;
    uint32_t nb_commands;
    uba_2z_scan_req reqs[UBA_2Z_MAX_CMDS];
    uint8_t data[4096];
    uint8_t rxdata[UBA_2Z_MAX_CMDS][1024];
    unsigned rxlen[UBA_2Z_MAX_CMDS];
    uint8_t rx0_is_status[UBA_2Z_MAX_CMDS];
    unsigned txlen;
    int dying; /* a fatal reply is ending the bridge use */
};
/* Marker, count and headers go out as one block. */
UBA_STATIC_ASSERT(offsetof(struct uba_l2z, nb_commands) == offsetof(struct uba_l2z, id) + 4,
                  "count follows the marker");
UBA_STATIC_ASSERT(offsetof(struct uba_l2z, reqs) == offsetof(struct uba_l2z, nb_commands) + 4,
                  "headers follow the count");

typedef struct uba_nram {
    nram_type type;
    uint8_t *base;   /* NRAM_PIO */
    uba_nic *nic;    /* NRAM_CFG_PIO, NRAM_EEPROM */
    uint32_t offset; /* added to every adapter address */
    int fd;          /* NRAM_FILE */
    struct uba_l2z l2z;
} uba_nram, nram_t;

void nram_open_pio(nram_t *nram, void *addr);
void nram_open_cfg_pio(nram_t *nram, uba_nic *nic);
void nram_open_eeprom(nram_t *nram, uba_nic *nic);
void nram_open_file(nram_t *nram, const char *path, int writable);
void nram_open_mmap(nram_t *nram, const char *path, int writable);
void nram_open_rabbit(nram_t *nram, const char *name);
/* JTAG bridge at host (port 1975, else the old protocol on 1971); slot and
 * port are base 0.  $UBA_K5_OLD set and not empty: the old protocol only. */
void nram_open_2z(nram_t *nram, const char *host, int slot, int port);
/* Queues one bridge command (sent when 32 are queued or at the next flush). */
void l2z_cmd(nram_t *nram, uint32_t command, const void *buf, unsigned txlen, unsigned rxlen,
             int rx0_is_status);
/* Sends the queued batch and collects every reply: 0, or -1 when can_fail
 * is 1 and the bridge reset the connection of a grab. */
int l2z_flush(nram_t *nram, int can_fail);

void nram_memcpy_read(nram_t *nram, void *buf, size_t addr, size_t size);
void nram_memcpy_write(nram_t *nram, size_t addr, const void *buf, size_t size);
void nram_memset(nram_t *nram, size_t addr, int byte, size_t size);
uint32_t nram_pio_read_32(nram_t *nram, size_t offset);
uint8_t nram_pio_read_8(nram_t *nram, size_t offset);
void nram_pio_write_8(nram_t *nram, size_t offset, uint8_t value);
void nram_scan_read(nram_t *nram, void *buf, unsigned bits, int chain);
void nram_scan_write(nram_t *nram, const void *src, unsigned bits);
void nram_close(nram_t *nram);

void kv_hw_memcpy(void *to, const void *from, int size);
void kv_hw_memset(void *to, unsigned c, int size);

int uba_eeprom_read(uba_nic *nic, unsigned addr, void *buf, unsigned len);
int uba_pci_eeprom_write_ex(uba_nic *nic, unsigned addr, const void *buf, unsigned len, int vs);
/* Offset of the vendor window; stops the program unless 0 < offset < 225. */
int uba_vs_offset(uba_nic *nic);

/* The firmware header (quor_nfw.h) through the accessor: reads the header's
 * adapter address at QUOR_NFW_HDR_PTR and the header there into *h, its
 * numbers as stored (big-endian).  An unusable address ends the process with
 * "ERROR:Cannot find nfw-hdr, hdr_off=0x<address>". */
struct nfw_gen_header;
void uba_nfw_header(nram_t *nram, struct nfw_gen_header *h);

#ifdef __cplusplus
}
#endif

#endif /* UBA_H */
