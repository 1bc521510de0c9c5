/*
 * A fixed-size latency histogram for percentiles: exact below 16 ms, then
 * eight buckets per power of two, so a reported percentile is within
 * 1/16 (6.25 %) of the true one up to about nine hours.  Two sketches
 * merge by adding counts, which is what lets collectors combine their
 * inventories.  Owned by its endpoint, on the inventory's thread.
 */

#ifndef KV_ANALYSIS_LATENCY_SKETCH_H
#define KV_ANALYSIS_LATENCY_SKETCH_H

#include <array>
#include <cstdint>

#include <boost/json/value.hpp>

namespace kv::analysis {

class LatencySketch {
  public:
    static constexpr size_t bucket_count = 184;

    void add(int64_t ms);
    void merge(const LatencySketch &other);
    uint64_t count() const { return total_; }
    /* The q-quantile (0 < q <= 1) in ms, -1 when empty. */
    int64_t quantile(double q) const;

    /* Sparse: [[bucket, count], ...]. */
    boost::json::value to_json() const;
    bool from_json(const boost::json::value &v);

    static size_t bucket_of(int64_t ms);
    /* The smallest and largest value a bucket holds. */
    static int64_t bucket_low(size_t b);
    static int64_t bucket_high(size_t b);

  private:
    std::array<uint32_t, bucket_count> counts_{};
    uint64_t total_ = 0;
};

} // namespace kv::analysis

#endif
