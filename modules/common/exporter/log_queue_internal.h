/*
 * Exporter: what the parts of the worker's log queue share.  The
 * lanes and their batches (log_queue.cpp) belong to the event loop; a
 * batch in flight belongs to its pool thread (log_batch_send.cpp) until
 * its completion runs; the flush at exit (log_exit_flush.cpp) and the
 * message blocks (message_blocks.cpp) belong to the event loop.  Nothing
 * outside the queue includes this header.
 */
#ifndef NGINX_EXT_LOG_QUEUE_INTERNAL_H
#define NGINX_EXT_LOG_QUEUE_INTERNAL_H

#include "exporter.h"

#include <cstddef>

namespace kestrelvanes::log_queue {

struct log_lane;

/* the settings the module passed in (ngx_ext_exporter_configure) */
extern ngx_ext_exporter_conf_t settings;

/* The payload of a lane's task: the messages of one batch. */
struct log_batch {
    log_lane *lane;
    ngx_transport_item_t *first;
    ngx_uint_t count;
};

struct log_lane {
    ngx_transport_peer_t *peer; /* a collector lane's own; NULL: a URL lane */
    ngx_str_t url;              /* a URL lane's key, in a message it holds */
    ngx_transport_item_t *head; /* queued, not yet in a batch */
    ngx_transport_item_t **last;
    ngx_uint_t queued;
    size_t queued_bytes;
    ngx_uint_t held; /* messages queued or in flight */
    ngx_thread_pool_t *thread_pool;
    ngx_thread_task_t *task; /* reused by every batch of the lane */
    ngx_event_t post;        /* posts the batch once the pass is done */
    ngx_event_t delay;       /* the batch delay of the oldest queued message */
    bool due; /* the delay is over: post once nothing is in flight */
    bool in_flight;
};

/* The message a batch item is part of. */
inline ngx_ext_access_log_msg_t *
message_of(ngx_transport_item_t *item) noexcept
{
    return reinterpret_cast<ngx_ext_access_log_msg_t *>(
        reinterpret_cast<u_char *>(item)
        - offsetof(ngx_ext_access_log_msg_t, item));
}

/* log_queue.cpp, on the event loop */

/* What the queue holds against its budget, batches in flight included. */
size_t bytes_held() noexcept;

/*
 * Every lane's batch goes now, its delay cancelled; a lane with a batch in
 * flight posts the rest at its completion.
 */
void post_every_lane() noexcept;

/* Every lane's queued messages, counted as failed and freed; how many. */
ngx_uint_t drop_every_queue() noexcept;

/* The same for the lanes that still have messages queued. */
void drop_queued_leftovers() noexcept;

/* log_batch_send.cpp: a batch's task, on a pool thread */
void batch_handler(void *data, ngx_log_t *log) noexcept;

/* A message that did not go out, counted by its type; any thread. */
void count_send_failure(ngx_ext_access_log_msg_t *msg) noexcept;

/* The first sending thread of a worker takes the configured priority. */
void set_sender_priority(ngx_log_t *log) noexcept;

/* log_exit_flush.cpp, on the event loop */

/* the worker is exiting and sends what it holds before it ends */
extern bool flushing;

/* While an exiting worker holds messages, the guard keeps it. */
void hold_exit() noexcept;

/* Nothing is held any more: the worker may end. */
void release_exit() noexcept;

/* message_blocks.cpp, on the event loop */

/* At the worker's end: the cached blocks go back to malloc. */
void release_blocks() noexcept;

} /* namespace kestrelvanes::log_queue */

#endif /* NGINX_EXT_LOG_QUEUE_INTERNAL_H */
