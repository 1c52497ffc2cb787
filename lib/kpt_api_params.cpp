/*
 * kpt_api_params.cpp - parameter resolution.
 *
 * Every handle is configured by twelve parameters, each taken from the
 * caller's key/value records, else from its environment variable, else from
 * a built-in default.  Resolution fills the handle's kpt__params and, for a
 * receive open, the receive parameter block sent to the driver; with the
 * PARAM debug mode it reports where every value came from.
 */
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kpt_internal.h"

/* Environment variable names, indexed by key; also the report's labels. */
const char *const uparam_strings[_KPT_PARAM_LAST] = {
    "KPT_PORTNUM",       "KPT_RING_ID",          "KPT_NUM_RINGS",
    "KPT_RSS_FLAGS",     "KPT_RSS_FUNC_PTR",     "KPT_RSS_FUNC_CONTEXT",
    "KPT_DATARING_SIZE", "KPT_DESCRING_SIZE",    "KPT_FLAGS",
    "KPT_DEBUG_MASK",    "KPT_DEBUG_FILENAME",   "KPT_APP_ID",
};

namespace {

constexpr uint64_t kMiB = 0x100000;
constexpr uint64_t kRingAlign = 0x200000; /* rings are whole 2 MiB pages */
constexpr int32_t kMaxRingId = 31;
constexpr uint32_t kMaxNumRings = 32;

constexpr uparam_type kRowType[_KPT_PARAM_LAST] = {
    T_U32, /* KPT_PORTNUM */
    T_S32, /* KPT_RING_ID */
    T_U32, /* KPT_NUM_RINGS */
    T_U32, /* KPT_RSS_FLAGS */
    T_PTR, /* KPT_RSS_FUNC_PTR */
    T_PTR, /* KPT_RSS_FUNC_CONTEXT */
    T_U64, /* KPT_DATARING_SIZE */
    T_U64, /* KPT_DESCRING_SIZE */
    T_U32, /* KPT_FLAGS */
    T_U32, /* KPT_DEBUG_MASK */
    T_STR, /* KPT_DEBUG_FILENAME */
    T_S32, /* KPT_APP_ID */
};

/* Rows that only exist in the receive parameter block. */
bool rx_only_row(int idx)
{
    switch (idx) {
    case KPT_PARAM_NUM_RINGS:
    case KPT_PARAM_RSS_FLAGS:
    case KPT_PARAM_DATARING_SIZE:
    case KPT_PARAM_DESCRING_SIZE:
    case KPT_PARAM_FLAGS:
    case KPT_PARAM_APP_ID:
        return true;
    default:
        return false;
    }
}

void row_default(uparam_key *r)
{
    switch (r->u_key) {
    case KPT_PARAM_PORTNUM: r->u.u_val_u32 = 0; break;
    case KPT_PARAM_RING_ID: r->u.u_val_s32 = -1; break;
    case KPT_PARAM_NUM_RINGS: r->u.u_val_u32 = 1; break;
    case KPT_PARAM_RSS_FLAGS:
        r->u.u_val_u32 = KPT_RSS_IP | KPT_RSS_SRC_PORT | KPT_RSS_DST_PORT;
        break;
    case KPT_PARAM_RSS_FUNC_PTR: r->u.v.rss_hash_fn = nullptr; break;
    case KPT_PARAM_RSS_FUNC_CONTEXT: r->u.v.rss_context = nullptr; break;
    case KPT_PARAM_DATARING_SIZE: r->u.u_val_u64 = 0x10000000; break;
    case KPT_PARAM_DESCRING_SIZE: r->u.u_val_u64 = 0x8000000; break;
    case KPT_PARAM_FLAGS: r->u.u_val_u32 = 0; break;
    case KPT_PARAM_DEBUG_MASK: r->u.u_val_u32 = KPT_DEBUG_WARN; break;
    case KPT_PARAM_DEBUG_FILENAME: r->u.u_val_str = "stderr"; break;
    case KPT_PARAM_APP_ID: r->u.u_val_s32 = kpt__app_id; break;
    default: break;
    }
}

bool has_text(const char *s) { return s != nullptr && s[0] != '\0'; }

/* The environment text of a row, if the caller did not set it. */
const char *text_source(const uparam_key *r)
{
    return r->u_set == S_DEFAULT && has_text(r->u_envval) ? r->u_envval : nullptr;
}

uint64_t round_up_ring(uint64_t v) { return (v + kRingAlign - 1) & ~(kRingAlign - 1); }

/*
 * Ring size rule: 0 is the smallest ring, values below 1 MiB count MiB,
 * anything else bytes; the result is a whole number of 2 MiB pages.
 */
int ring_size(uint64_t v, uint64_t *out)
{
    if (v == 0)
        v = kRingAlign;
    else if (v < kMiB)
        v <<= 20;
    if (v > UINT64_MAX - (kRingAlign - 1))
        return ERANGE;
    *out = round_up_ring(v);
    return 0;
}

bool leading_minus(const char *s)
{
    while (isspace((unsigned char)*s))
        ++s;
    return *s == '-';
}

const char *source_word(uparam_setting s)
{
    switch (s) {
    case S_USER: return "userset";
    case S_ENV: return "environ";
    case S_DEFAULT: return "default";
    default: return "unknown";
    }
}

/* Appends to a NUL-terminated buffer, truncating at its end. */
__attribute__((format(printf, 3, 4))) void append(char *buf, size_t len,
                                                  const char *fmt, ...)
{
    size_t used = strlen(buf);
    if (used + 1 >= len)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf + used, len - used, fmt, ap);
    va_end(ap);
}

struct debug_mode_name {
    uint32_t bit;
    const char *name;
};

constexpr debug_mode_name kModes[] = {
    {KPT_DEBUG_WARN, "WARN"},         {KPT_DEBUG_PARAM, "PARAM"},
    {KPT_DEBUG_QSTATS, "QSTATS"},     {KPT_DEBUG_TIMESYNC, "TIMESYNC"},
    {KPT_DEBUG_IOCTL, "IOCTL"},       {KPT_DEBUG_QEVENTS, "QEVENTS"},
    {KPT_DEBUG_ARISTA, "ARISTA"},
};

/* "KPT_DEBUG_MASK=0x%x for modes " and every mode with its bit. */
void mode_summary(char *buf, size_t len, uint32_t mask)
{
    buf[0] = '\0';
    append(buf, len, "KPT_DEBUG_MASK=0x%x for modes ", mask);
    for (const debug_mode_name &m : kModes) {
        const uint32_t above = ~((m.bit << 1) - 1);
        append(buf, len, "%s=0x%x%c ", m.name, m.bit, (mask & above) ? ',' : ' ');
    }
}

} // namespace

/* ------------------------------------------------------------------------ */
/* Conversions of environment text                                          */
/* ------------------------------------------------------------------------ */

namespace {

/*
 * Base 0 (decimal, 0x hexadecimal, leading 0 octal), trailing characters
 * ignored.  Text without digits, a conversion error or a value that fits()
 * refuses fails with ERANGE and leaves errno clear; on success errno is left
 * as it was.
 */
template <class T, class Parse, class Fits>
int convert(const char *s, T *out, Parse parse, Fits fits)
{
    if (s == nullptr || out == nullptr)
        return EINVAL;
    const int saved = errno;
    char *end = nullptr;
    errno = 0;
    auto v = parse(s, &end);
    if (errno != 0 || end == s || !fits(v)) {
        errno = 0;
        return ERANGE;
    }
    errno = saved;
    *out = (T)v;
    return 0;
}

} // namespace

int kpt__strtoul(const char *s, uint32_t *out)
{
    return convert(
        s, out, [](const char *t, char **e) { return strtoul(t, e, 0); },
        /* A negated number wraps at 32 bits, as long as its magnitude fits. */
        [s](unsigned long v) { return v <= UINT32_MAX || (leading_minus(s) && 0UL - v <= UINT32_MAX); });
}

int kpt__strtol(const char *s, int32_t *out)
{
    return convert(
        s, out, [](const char *t, char **e) { return strtol(t, e, 0); },
        [](long v) { return v >= INT32_MIN && v <= INT32_MAX; });
}

int kpt__strtoull(const char *s, uint64_t *out)
{
    return convert(
        s, out, [](const char *t, char **e) { return strtoull(t, e, 0); },
        [](unsigned long long) { return true; });
}

/* ------------------------------------------------------------------------ */
/* Debug output file                                                        */
/* ------------------------------------------------------------------------ */

/*
 * "+name" appends, "name" truncates; "stderr" and "stdout" name the standard
 * streams.  The new stream is opened before the old one is given up, so a
 * name that cannot be opened leaves the block's stream and file name as they
 * were (and only WARN enabled).
 */
int kpt__debugfile_reopen(kpt__params *p, const char *filename)
{
    if (p == nullptr || filename == nullptr)
        return EINVAL;

    const bool append_mode = filename[0] == '+';
    const char *name = append_mode ? filename + 1 : filename;
    const size_t len = strlen(filename);

    FILE *fp = nullptr;
    int err = 0;
    if (len >= sizeof p->debug_file_buf) {
        /* Never open a truncated path: it would name some other file. */
        err = ENAMETOOLONG;
    } else if (strcmp(name, "stderr") == 0) {
        fp = stderr;
    } else if (strcmp(name, "stdout") == 0) {
        fp = stdout;
    } else {
        fp = fopen(name, append_mode ? "a" : "w");
        if (fp == nullptr)
            err = errno != 0 ? errno : EIO;
        else
            setvbuf(fp, nullptr, _IOLBF, 0);
    }

    if (fp == nullptr) {
        fprintf(stderr, "Can't open '%s', forcing DEBUG_MASK to 0x1 (errno=%d: %s)\n",
                name, err, strerror(err));
        fflush(stderr);
        p->debug_mask = KPT_DEBUG_WARN;
        return err;
    }

    FILE *old = p->debug_fp;
    if (old != nullptr && old != stderr && old != stdout && old != fp)
        fclose(old);
    memcpy(p->debug_file_buf, filename, len + 1);
    p->debug_fp = fp;
    p->debug_filename = p->debug_file_buf;
    return 0;
}

void kpt__debug_stream_release(FILE *fp)
{
    if (fp != nullptr && fp != stderr && fp != stdout)
        fclose(fp);
}

void kpt__params_copy(kpt__params *dst, const kpt__params *src)
{
    if (dst == src)
        return;
    memcpy(dst, src, sizeof *dst);
    if (src->debug_filename == src->debug_file_buf)
        dst->debug_filename = dst->debug_file_buf;
}

/* ------------------------------------------------------------------------ */
/* Report formatting                                                        */
/* ------------------------------------------------------------------------ */

int kpt__snptype(char *buf, size_t len, uparam_type type, const uparam_val *value)
{
    if (buf == nullptr || len == 0)
        return 0;
    buf[0] = '\0';
    if (value == nullptr)
        return 0;

    switch (type) {
    case T_U64: {
        const unsigned long long v = value->u_val_u64;
        append(buf, len, "%llu", v);
        if (v != 0)
            append(buf, len, " (%#llx)", v);
        if (v > kMiB && strlen(buf) <= 31)
            append(buf, len, " (%.1f MiB)", (double)v / 1048576.0);
        break;
    }
    case T_U32:
        if (value->u_val_u32 == 0)
            append(buf, len, "%u", value->u_val_u32);
        else
            append(buf, len, "%u (%#x)", value->u_val_u32, value->u_val_u32);
        break;
    case T_S32:
        if (value->u_val_s32 == 0)
            append(buf, len, "%d", value->u_val_s32);
        else
            append(buf, len, "%d (%#x)", value->u_val_s32, (unsigned)value->u_val_s32);
        break;
    case T_STR:
        append(buf, len, "%s", value->u_val_str ? value->u_val_str : "(null)");
        break;
    case T_PTR:
        append(buf, len, "%p", value->v.rss_context);
        break;
    }
    buf[len - 1] = '\0';
    return (int)strlen(buf);
}

/* ------------------------------------------------------------------------ */
/* Resolution                                                               */
/* ------------------------------------------------------------------------ */

int kpt__param_op(uparam_op op, kpt__params *p, quor_kpt_rx_params_t *drv_p,
                  uparam_key *u_params, int idx)
{
    /* Only open-time resolution has a defined meaning. */
    if (op != OP_OPEN || p == nullptr || u_params == nullptr || idx < 0 ||
        idx >= _KPT_PARAM_LAST)
        return EINVAL;
    if (rx_only_row(idx) && drv_p == nullptr)
        return 0;

    uparam_key *r = &u_params[idx];
    const char *txt = text_source(r);
    int rc = 0;

    switch (idx) {
    case KPT_PARAM_PORTNUM:
        if (txt && (rc = kpt__strtoul(txt, &r->u.u_val_u32)) != 0)
            return rc;
        p->portnum = r->u.u_val_u32;
        break;

    case KPT_PARAM_RING_ID: {
        int32_t v = r->u.u_val_s32;
        if (txt && (rc = kpt__strtol(txt, &v)) != 0)
            return rc;
        if (v > kMaxRingId)
            return EINVAL;
        r->u.u_val_s32 = v;
        p->ring_id = v;
        break;
    }

    case KPT_PARAM_NUM_RINGS: {
        uint32_t v = r->u.u_val_u32;
        if (txt && (rc = kpt__strtoul(txt, &v)) != 0)
            return rc;
        if (v > kMaxNumRings)
            return EINVAL;
        r->u.u_val_u32 = v;
        drv_p->num_rings = v;
        break;
    }

    case KPT_PARAM_RSS_FLAGS:
        if (txt && (rc = kpt__strtoul(txt, &r->u.u_val_u32)) != 0)
            return rc;
        drv_p->rss_flags = r->u.u_val_u32;
        break;

    /* A hash function or its context never comes from the environment. */
    case KPT_PARAM_RSS_FUNC_PTR:
        if (r->u_set == S_USER && r->u.v.rss_hash_fn == nullptr)
            return EINVAL;
        p->rss_hash_fn = r->u.v.rss_hash_fn;
        return 0;

    case KPT_PARAM_RSS_FUNC_CONTEXT:
        p->rss_context = r->u.v.rss_context;
        return 0;

    case KPT_PARAM_DATARING_SIZE: {
        uint64_t v = r->u.u_val_u64;
        if (txt && (rc = kpt__strtoull(txt, &v)) != 0)
            return rc;
        if ((rc = ring_size(v, &v)) != 0)
            return rc;
        r->u.u_val_u64 = v;
        drv_p->rx_data_ring_size = v;
        if (txt)
            r->u_set = S_ENV;

        /* The descriptor ring follows the data ring unless sized itself. */
        uparam_key *d = &u_params[KPT_PARAM_DESCRING_SIZE];
        if (d->u_set == S_DEFAULT && !has_text(d->u_envval)) {
            d->u.u_val_u64 = round_up_ring(v / 2);
            if ((rc = kpt__param_op(op, p, drv_p, u_params, KPT_PARAM_DESCRING_SIZE)) != 0)
                return rc;
        }
        return 0;
    }

    case KPT_PARAM_DESCRING_SIZE: {
        uint64_t v = r->u.u_val_u64;
        if (txt && (rc = kpt__strtoull(txt, &v)) != 0)
            return rc;
        if ((rc = ring_size(v, &v)) != 0)
            return rc;
        r->u.u_val_u64 = v;
        drv_p->rx_desc_ring_size = v;
        break;
    }

    case KPT_PARAM_FLAGS:
        if (txt && (rc = kpt__strtoul(txt, &r->u.u_val_u32)) != 0)
            return rc;
        drv_p->open_flags = r->u.u_val_u32;
        break;

    case KPT_PARAM_DEBUG_MASK: {
        uint32_t v = r->u.u_val_u32;
        if (txt && (rc = kpt__strtoul(txt, &v)) != 0)
            return rc;
        v |= KPT_DEBUG_WARN;
        r->u.u_val_u32 = v;
        p->debug_mask = v;
        break;
    }

    case KPT_PARAM_DEBUG_FILENAME: {
        const char *name = txt ? txt : r->u.u_val_str;
        if (name == nullptr)
            return EINVAL;
        /* A file that cannot be opened is reported there and is not fatal. */
        (void)kpt__debugfile_reopen(p, name);
        r->u.u_val_str = p->debug_filename;
        break;
    }

    case KPT_PARAM_APP_ID: {
        int32_t v = r->u.u_val_s32;
        if (txt) {
            if ((rc = kpt__strtol(txt, &v)) != 0)
                return rc;
            if (v == -1)
                return EINVAL;
        }
        r->u.u_val_s32 = v;
        drv_p->app_id = v;
        break;
    }
    }

    if (txt)
        r->u_set = S_ENV;
    return 0;
}

int kpt__api_params(kpt__params *p, quor_kpt_rx_params_t *drv_p,
                    const kpt_param_keyval *user_p, int num_p, int *bad_param_idx)
{
    if (p == nullptr)
        return EINVAL;
    if (user_p == nullptr || num_p < 0)
        num_p = 0;

    uparam_key u[_KPT_PARAM_LAST];
    memset(u, 0, sizeof u);
    for (int i = 0; i < _KPT_PARAM_LAST; ++i) {
        u[i].u_set = S_DEFAULT;
        u[i].u_type = kRowType[i];
        u[i].u_key = (kpt_param_key)i;
        u[i].u_envval = getenv(uparam_strings[i]);
        row_default(&u[i]);
    }

    if (drv_p != nullptr)
        drv_p->open_flags = 0;
    p->debug_fp = stderr;

    /* The caller's first record for a key wins. */
    for (int i = 0; i < _KPT_PARAM_LAST; ++i) {
        for (int j = 0; j < num_p; ++j) {
            if ((int)user_p[j].key == i) {
                u[i].u_set = S_USER;
                memset(&u[i].u, 0, sizeof u[i].u);
                u[i].u.v = user_p[j].val;
                break;
            }
        }
    }

    for (int i = 0; i < _KPT_PARAM_LAST; ++i) {
        int rc = kpt__param_op(OP_OPEN, p, drv_p, u, i);
        if (rc == 0)
            continue;
        if (rc == EINVAL && u[i].u_set == S_USER && bad_param_idx != nullptr) {
            for (int j = num_p - 1; j >= 0; --j) {
                if ((int)user_p[j].key == i) {
                    *bad_param_idx = j;
                    break;
                }
            }
        }
        return rc;
    }

    if (p->debug_mask & KPT_DEBUG_PARAM) {
        for (int i = 0; i < _KPT_PARAM_LAST; ++i) {
            if (u[i].u_type == T_PTR)
                continue;
            char val[64];
            kpt__snptype(val, sizeof val, u[i].u_type, &u[i].u);
            KPT_LOG_P(p, "(%7s) %24s = %-40s\n", source_word(u[i].u_set),
                      uparam_strings[i], val);
        }
    }

    if (p->debug_mask > KPT_DEBUG_WARN) {
        char summary[256];
        mode_summary(summary, sizeof summary, p->debug_mask);
        KPT_LOG_P(p, "%s\n", summary);
    }
    return 0;
}
