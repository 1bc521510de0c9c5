/*
 * HAR 1.2 from exchange records, for tools that read browser captures.
 * Bodies that are not UTF-8 text are given in base64; bodies the sensor
 * cut short say so in a comment.  A pure function; any thread.
 */

#ifndef KV_ANALYSIS_HAR_H
#define KV_ANALYSIS_HAR_H

#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "analysis/exchange_record.h"

namespace kv::analysis {

struct HarOptions {
    std::string creator_name = "kestrelvanes-collector";
    std::string creator_version = "1";
};

/* {"log": {...}} with one entry per record, in the order given. */
boost::json::value har_document(const std::vector<ExchangeRecord> &records,
                                const HarOptions &options = {});

/* "2024-01-31T10:20:30.123Z" for Unix milliseconds. */
std::string iso8601_ms(int64_t unix_ms);

} // namespace kv::analysis

#endif
