/*
 * Checking the control settings a person sends (console, control file)
 * before anything is taken, and their JSON form.  Pure functions.
 */

#ifndef KV_CONTROL_SETTINGS_H
#define KV_CONTROL_SETTINGS_H

#include <string>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "model/control.h"

namespace kv {

boost::json::object control_to_json(const Control &c);

/*
 * Applies the members of j (an object with any of logging_level,
 * backoff_ms, sampling_rate, url_bypass, header_bypass) on top of base.
 * Everything is checked before anything is taken: on failure out is
 * untouched and error says what is wrong.  A policy whose patterns change
 * must change its version too, or workers that hold the old one would
 * keep it.  A bypass pattern that matches the empty string, or every
 * path (header value) it is tried on, is refused: it would let nearly
 * every request skip authorization.
 */
bool apply_control(const boost::json::value &j, const Control &base,
                   Control &out, std::string &error);

/*
 * What next lets skip authorization that current did not, one line each:
 * logging level nologging, a longer backoff, a bypass pattern or header
 * rule that current does not have.  Empty when next opens nothing (a
 * change that only narrows or keeps what is there).
 */
std::vector<std::string> authorization_openings(const Control &current,
                                                const Control &next);

/* False, with a reason, when next keeps a policy's version while changing
 * its patterns: workers that hold that version would never see the
 * change. */
bool policies_advance(const Control &current, const Control &next,
                      std::string &error);

} // namespace kv

#endif
