/*
 * kpt_internal.h - library-private declarations shared by the kpt_*.cpp files.
 */
#ifndef KPT_INTERNAL_H
#define KPT_INTERNAL_H

#include <stdint.h>
#include <stdio.h>

#include "kpt.h"
#include "quor_io.h"
#include "zal_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Library version string and API version of this build. */
#define KPT_LIB_API_VERSION ((uint16_t)0x0008)

/* ------------------------------------------------------------------------ */
/* Process-wide state                                                        */
/* ------------------------------------------------------------------------ */

#define KPT_DEBUG_FILE_BUF 128

/* Resolved parameters; every handle carries a copy, every message reads one. */
typedef struct kpt__params {
    uint32_t debug_mask;
    uint32_t portnum; /* port, or the requested port mask before the split */
    int32_t ring_id;  /* -1: any ring */
    kpt_rss_fn_t rss_hash_fn;
    void *rss_context;
    int32_t port_ring_id;
    const char *debug_filename;
    FILE *debug_fp; /* null: standard error */
    char debug_file_buf[KPT_DEBUG_FILE_BUF];
} kpt__params;

extern int kpt__init;
extern uint16_t kpt__user_api;
extern int32_t kpt__app_id;
extern kpt__params kpt__p;

const char *kpt__lib_version(void);
const char *kpt__lib_build(void);

int kpt__getpid(void);
void kpt__assertion_failed(const char *assertion, int line, const char *file)
    __attribute__((noreturn));

#define KPT_ASSERT(e) \
    ((e) ? (void)0 : kpt__assertion_failed(#e, __LINE__, __FILE__))

/* ------------------------------------------------------------------------ */
/* Diagnostic lines                                                          */
/* ------------------------------------------------------------------------ */

/* Port character of the prefix: '0' + port below 16, else 'X'. */
static inline char kpt__port_char(uint32_t portnum)
{
    return portnum < 16 ? (char)(0x30 + portnum) : 'X';
}

/* Stream of a block's diagnostic lines. */
static inline FILE *kpt__log_stream(const kpt__params *p)
{
    return p->debug_fp ? p->debug_fp : stderr;
}

void kpt__log_write(const kpt__params *p, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/*
 * One diagnostic line: "%5u kpt.%c.%-2d %c " then the message, in one
 * formatted write.  `gate` is the debug mode that enables the line (0 for
 * lines that are always printed).  The block's own stream is flushed whether
 * or not the line was written.
 */
#define KPT_LOG(p, gate, level, fmt, ...)                                     \
    do {                                                                      \
        const kpt__params *kpt_lp_ = (p);                                     \
        if ((gate) == 0 || (kpt_lp_->debug_mask & (uint32_t)(gate)))          \
            kpt__log_write(kpt_lp_, "%5u kpt.%c.%-2d %c " fmt,                \
                           (unsigned)kpt__getpid(),                           \
                           kpt__port_char(kpt_lp_->portnum),                  \
                           (int)kpt_lp_->ring_id, (level), ##__VA_ARGS__);    \
        if (kpt_lp_->debug_fp)                                                \
            fflush(kpt_lp_->debug_fp);                                        \
    } while (0)

#define KPT_LOG_E(p, fmt, ...) KPT_LOG(p, 0, 'E', fmt, ##__VA_ARGS__)
#define KPT_LOG_P(p, fmt, ...) KPT_LOG(p, KPT_DEBUG_PARAM, 'P', fmt, ##__VA_ARGS__)
#define KPT_LOG_I(p, fmt, ...) KPT_LOG(p, KPT_DEBUG_IOCTL, 'I', fmt, ##__VA_ARGS__)
#define KPT_LOG_A(p, fmt, ...) KPT_LOG(p, KPT_DEBUG_ARISTA, 'A', fmt, ##__VA_ARGS__)
#define KPT_LOG_W(p, fmt, ...) KPT_LOG(p, KPT_DEBUG_WARN, ' ', fmt, ##__VA_ARGS__)

/* "kpt: kpt_init not called before %s!" */
void kpt__log_not_initialised(const char *entry);

/* ------------------------------------------------------------------------ */
/* Parameters                                                                */
/* ------------------------------------------------------------------------ */

typedef enum uparam_setting {
    S_UNSET = 0,
    S_USER = 1,
    S_ENV = 2,
    S_DEFAULT = 3
} uparam_setting;

typedef enum uparam_type {
    T_U64 = 0,
    T_U32 = 1,
    T_S32 = 2,
    T_STR = 3,
    T_PTR = 4
} uparam_type;

typedef enum uparam_op { OP_OPEN = 0, OP_GET = 1, OP_SET = 2 } uparam_op;

typedef union uparam_val {
    kpt_param_val v;
    uint32_t u_val_u32;
    int32_t u_val_s32;
    uint64_t u_val_u64;
    const char *u_val_str;
} uparam_val;

typedef struct uparam_key {
    uparam_setting u_set;
    uparam_type u_type;
    kpt_param_key u_key;
    const char *u_envval;
    uparam_val u;
} uparam_key;

extern const char *const uparam_strings[_KPT_PARAM_LAST];

int kpt__api_params(kpt__params *p, quor_kpt_rx_params_t *drv_p,
                    const kpt_param_keyval *user_p, int num_p,
                    int *bad_param_idx);
int kpt__param_op(uparam_op op, kpt__params *p, quor_kpt_rx_params_t *drv_p,
                  uparam_key *u_params, int idx);
int kpt__debugfile_reopen(kpt__params *p, const char *filename);
/* Closes a debug output file that a parameter resolution opened (never the
 * standard streams).  Every handle that resolved parameters calls it once,
 * on close or on the failure that ends its open. */
void kpt__debug_stream_release(FILE *fp);
/* Copies a block; the copy's debug_filename points into its own buffer. */
void kpt__params_copy(kpt__params *dst, const kpt__params *src);
int kpt__snptype(char *buf, size_t len, uparam_type type, const uparam_val *value);
int kpt__strtoul(const char *s, uint32_t *out);
int kpt__strtol(const char *s, int32_t *out);
int kpt__strtoull(const char *s, uint64_t *out);

/* Built-in receive-side scaling hash (a kpt_rss_fn_t); the context is the
 * kpt_rss_mode_flags value itself.  Always returns 0. */
int kpt__rss_hash(kpt_recv_req *req, void *context, uint32_t *hash_val_o);

#ifdef __cplusplus
}
#endif

#endif /* KPT_INTERNAL_H */
