/*
 * zal_raw.cpp - raw frame endpoints: a device file bound to send frames on a
 * physical port along an explicit route and to collect, one event at a time,
 * send completions and frames the port receives.
 *
 * The driver keeps a bounded number of completions per endpoint; the endpoint
 * counts sends whose completion has not been collected and refuses more than
 * kMaxPendingSends of them, so a caller that never collects is told (EBUSY)
 * instead of losing completions.
 */
#include "zal_internal.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "quor_io.h"

struct quor_raw_endpoint {
    pthread_mutex_t lock;            /* guards pending_sends, serialises sends */
    pthread_mutex_t next_event_lock; /* serialises event collection */
    zal_handle_t handle;
    int board_num;
    int board_type;
    int pending_sends;
};

namespace {
constexpr int kMaxPendingSends = 126;
}

extern "C" {

int quor_raw_open_endpoint(uint32_t board_number, quor_raw_endpoint_t *endpoint, uint8_t letter)
{
    if (endpoint == nullptr || board_number > 0x7fffffffu) return EINVAL;
    auto *ep = static_cast<quor_raw_endpoint *>(calloc(1, sizeof(quor_raw_endpoint)));
    if (ep == nullptr) return ENOMEM;
    zal_handle_t h = -1;
    int rc = zal_open(int(board_number), -1, &h, letter);
    if (rc != 0) {
        free(ep);
        return rc;
    }
    rc = zal_ioctl(h, int(QUOR_SET_RAW_ENDPOINT), nullptr, 0);
    uint32_t type = board_number;
    if (rc == 0) rc = zal_ioctl(h, int(QUOR_GET_BOARD_TYPE), &type, sizeof type);
    if (rc != 0) {
        zal_close(h);
        free(ep);
        return rc;
    }
    pthread_mutex_init(&ep->lock, nullptr);
    pthread_mutex_init(&ep->next_event_lock, nullptr);
    ep->handle = h;
    ep->board_num = int(board_number);
    ep->board_type = int(type);
    *endpoint = ep;
    return 0;
}

/* The device file stays open: the caller closes it through quor_raw_handle. */
int quor_raw_close_endpoint(quor_raw_endpoint_t endpoint)
{
    if (endpoint == nullptr) return 0;
    pthread_mutex_destroy(&endpoint->lock);
    pthread_mutex_destroy(&endpoint->next_event_lock);
    free(endpoint);
    return 0;
}

zal_handle_t quor_raw_handle(quor_raw_endpoint_t endpoint)
{
    return endpoint != nullptr ? endpoint->handle : -1;
}

int quor_raw_send(quor_raw_endpoint_t endpoint, uint32_t physical_port, void *route_pointer,
                  uint32_t route_length, void *send_buffer, uint32_t data_length, void *context)
{
    if (endpoint == nullptr) return EINVAL;
    /* Each goes into a narrower field of the record: a value that does not
     * fit would name another port or send another length. */
    if (physical_port > 0xff || route_length > 0xff || data_length > 0xffff) return EINVAL;

    quor_raw_send_t rs;
    memset(&rs, 0, sizeof rs);
    rs.data_pointer = uint64_t(uintptr_t(send_buffer));
    rs.route_pointer = uint64_t(uintptr_t(route_pointer));
    rs.context = uint64_t(uintptr_t(context));
    rs.route_length = uint8_t(route_length);
    rs.physical_port = uint8_t(physical_port);
    rs.data_length = uint16_t(data_length);

    pthread_mutex_lock(&endpoint->lock);
    int rc = EBUSY;
    if (endpoint->pending_sends < kMaxPendingSends) {
        rc = zal_ioctl(endpoint->handle, int(QUOR_RAW_SEND), &rs, sizeof rs);
        if (rc == 0) endpoint->pending_sends++;
    }
    pthread_mutex_unlock(&endpoint->lock);
    return rc;
}

int quor_raw_next_event(quor_raw_endpoint_t endpoint, uint32_t *incoming_port, void **context,
                        void *recv_buffer, uint32_t *recv_bytes, uint32_t timeout_ms,
                        quor_raw_status_t *status, uint64_t *nic_ticks)
{
    if (endpoint == nullptr || recv_bytes == nullptr || status == nullptr) return EINVAL;
    quor_raw_next_event_t ev;
    memset(&ev, 0, sizeof ev);
    ev.recv_buffer = uint64_t(uintptr_t(recv_buffer));
    ev.recv_bytes = recv_buffer != nullptr ? *recv_bytes : 0;
    ev.timeout = timeout_ms;

    pthread_mutex_lock(&endpoint->next_event_lock);
    int rc = zal_ioctl(endpoint->handle, int(QUOR_RAW_NEXT_EVENT), &ev, sizeof ev);
    pthread_mutex_unlock(&endpoint->next_event_lock);
    if (rc != 0) return rc;

    *status = ev.status;
    if (ev.status == QUOR_RAW_STATUS_SEND_DONE) {
        if (context) *context = reinterpret_cast<void *>(uintptr_t(ev.context));
        if (nic_ticks) *nic_ticks = ev.nic_ticks;
        pthread_mutex_lock(&endpoint->lock);
        if (endpoint->pending_sends > 0) endpoint->pending_sends--;
        pthread_mutex_unlock(&endpoint->lock);
    } else if (ev.status == QUOR_RAW_STATUS_RECEIVED) {
        if (incoming_port) *incoming_port = ev.incoming_port;
        *recv_bytes = ev.recv_bytes;
    }
    return 0;
}

} // extern "C"
