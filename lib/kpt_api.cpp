/*
 * kpt_api.cpp - the public entry points of libkpt outside the receive and
 * transmit paths.  The library frame comes first: process-wide state,
 * kpt_init and the version handshake with the driver, the diagnostic line and
 * the assertion routine.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kpt_build.h"
#include "kpt_internal.h"
#include "zal_platform.h"

/* ======================================================================== */
/* Library frame                                                            */
/* ======================================================================== */

int kpt__init = 0;
uint16_t kpt__user_api = 0;
int32_t kpt__app_id = -1;
kpt__params kpt__p; /* zero: port 0, ring 0, standard error */

const char *kpt__lib_version(void) { return KPT_LIB_VERSION_STR; }

const char *kpt__lib_build(void) { return KPT_LIB_BUILD_STR; }

uint16_t kpt_version_api(void) { return KPT_LIB_API_VERSION; }

int kpt__getpid(void) { return zal_plat_thread_id(); }

void kpt__assertion_failed(const char *assertion, int line, const char *file)
{
    printf("kpt: assertion: <<%s>>  failed at line %d, file %s\n", assertion,
           line, file);
    fflush(stdout);
    abort();
}

void kpt__log_write(const kpt__params *p, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(kpt__log_stream(p), fmt, ap);
    va_end(ap);
}

void kpt__log_not_initialised(const char *entry)
{
    KPT_LOG_E(&kpt__p, "kpt: kpt_init not called before %s!\n", entry);
}

/* A string field of a driver record, usable only if it ends inside the field. */
static bool kpt__field_is_str(const char *field, size_t size)
{
    return memchr(field, '\0', size) != nullptr;
}

int kpt_init(uint16_t user_api)
{
    /* Once entered, later calls only compare versions. */
    if (kpt__init)
        return user_api == kpt__user_api ? 0 : EINVAL;

    kpt__init = 1;
    kpt__user_api = user_api;
    kpt__p.debug_mask = KPT_DEBUG_WARN;

    /* Applications of the same major API are served whatever their minor. */
    if ((user_api >> 8) != (KPT_LIB_API_VERSION >> 8)) {
        KPT_LOG_E(&kpt__p,
                  "user API %#06x is incompatible with library API %#06x\n",
                  (unsigned)user_api, (unsigned)KPT_LIB_API_VERSION);
        return EINVAL;
    }

    zal_handle_t h = -1;
    int rc = zal_open_any_board(&h, QUOR_PRODUCT_KPT);
    if (rc != 0)
        return rc;

    quor_get_version_t ver;
    memset(&ver, 0, sizeof ver);
    rc = zal_ioctl(h, (int)QUOR_GET_VERSION, &ver, sizeof ver);
    zal_close(h);
    if (rc != 0)
        return rc;

    const bool build_ok = kpt__field_is_str(ver.build_str, sizeof ver.build_str) &&
                          strcmp(ver.build_str, kpt__lib_build()) == 0;
    const uint32_t drv_major = ver.driver_api_magic >> 8;
    if (build_ok && drv_major == QUOR_DRIVER_API_MAJOR)
        return 0;

    /* The driver's text is printed, so it must end inside its field. */
    ver.version_str[sizeof ver.version_str - 1] = '\0';
    ver.build_str[sizeof ver.build_str - 1] = '\0';
    fprintf(stderr,
            "kpt library and driver mismatch (lib=%d.%d, kernel=%d.%d)\n"
            "\t kpt lib version=%s\n"
            "\t kpt lib build=%s\n"
            "\t kpt kernel version=%s\n"
            "\t kpt kernel build=%s\n",
            QUOR_DRIVER_API_MAJOR, QUOR_DRIVER_API_MINOR, (int)drv_major,
            (int)(ver.driver_api_magic & 0xff), kpt__lib_version(),
            kpt__lib_build(), ver.version_str, ver.build_str);
    fflush(stderr);
    return ENXIO;
}

int kpt_set_app_id(int32_t id)
{
    if (!kpt__init) {
        kpt__log_not_initialised("kpt_set_app_id");
        return EINVAL;
    }
    if (id == -1) {
        KPT_LOG_E(&kpt__p, "kpt: kpt_set_app_id called with an invalid id (%d)\n",
                  (int)id);
        return EINVAL;
    }
    kpt__app_id = id;
    return 0;
}
