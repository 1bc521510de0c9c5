/*
 * The heartbeat reply: the settings in force, written the way the sensor's
 * reply reader and policy scanner read them.  Pure functions.
 */

#ifndef KV_PROTOCOL_HEARTBEAT_H
#define KV_PROTOCOL_HEARTBEAT_H

#include <cstddef>
#include <string>

#include "kv_protocol.h"
#include "model/control.h"

namespace kv {

/* A heartbeat reply is read in one go into 8192 bytes by the sensor. */
constexpr size_t max_heartbeat_reply = 8000;
static_assert(max_heartbeat_reply < kv_protocol::heartbeat_reply_buffer);

/* The version a sensor is sent for a policy that is switched off: an empty
 * set under a version of its own, so turning a policy off reaches workers
 * that hold an older one. */
constexpr const char *cleared_version = "(none)";

/* What the sensor will compile for the regular expression re. */
std::string sensor_pattern(const std::string &re);

/* The bypass policy document in the form the sensor's scanner reads. */
std::string policy_document(const Control &c);

/* The whole heartbeat reply: status line, the three setting headers and
 * the policy document as its body. */
std::string heartbeat_reply(const Control &c);

} // namespace kv

#endif
