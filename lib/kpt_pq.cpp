/*
 * kpt_pq.cpp - shared-queue locks: one driver request each, on a device-file
 * descriptor the application opened.  What is locked, and what the state
 * record handed over at release is used for, is the driver's business; the
 * library forwards the records as they are and returns the driver's answer.
 */
#include <errno.h>

#include "kpt_internal.h"

namespace {

inline int pq_request(int32_t handle, uint32_t request, void *record, size_t size)
{
    return zal_ioctl(handle, (int)request, record, size);
}

} // namespace

int pq_trylock(int32_t handle) { return pq_request(handle, QUOR_KPT_PQ_TRYLOCK, nullptr, 0); }

int pq_trylock_wait(int32_t handle, int32_t timeout_ms)
{
    return pq_request(handle, QUOR_KPT_PQ_TRYLOCK_WAIT, &timeout_ms, sizeof timeout_ms);
}

int pq_unlock(int32_t handle) { return pq_request(handle, QUOR_KPT_PQ_UNLOCK, nullptr, 0); }

int pq_unlock_wake(int32_t handle, struct kpt__pq_state_rw *pq_rw)
{
    if (pq_rw == nullptr)
        return EINVAL;
    return pq_request(handle, QUOR_KPT_PQ_UNLOCK_WAKE, pq_rw, sizeof *pq_rw);
}

int pq_group_lock(int32_t handle, struct quor_kpt_pq_group_lock *param)
{
    if (param == nullptr)
        return EINVAL;
    return pq_request(handle, QUOR_KPT_PQ_GROUP_LOCK, param, sizeof *param);
}

int pq_group_unlock(int32_t handle, struct kpt__pq_state_rw *pq_rw)
{
    if (pq_rw == nullptr)
        return EINVAL;
    return pq_request(handle, QUOR_KPT_PQ_GROUP_UNLOCK, pq_rw, sizeof *pq_rw);
}
