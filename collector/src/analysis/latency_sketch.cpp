/*
 * The latency histogram's bucket arithmetic and its JSON form.  Owned by
 * its endpoint, on the inventory's thread.
 */

#include "analysis/latency_sketch.h"

#include <boost/json.hpp>

namespace kv::analysis {

size_t
LatencySketch::bucket_of(int64_t ms)
{
    if (ms < 16) {
        return ms < 0 ? 0 : static_cast<size_t>(ms);
    }
    auto v = static_cast<uint64_t>(ms);
    int e = 63 - __builtin_clzll(v);
    size_t b = 16 + static_cast<size_t>(e - 4) * 8 + ((v >> (e - 3)) & 7);
    return b < bucket_count ? b : bucket_count - 1;
}

int64_t
LatencySketch::bucket_low(size_t b)
{
    if (b < 16) {
        return static_cast<int64_t>(b);
    }
    size_t e = (b - 16) / 8 + 4;
    size_t sub = (b - 16) % 8;
    return static_cast<int64_t>((8 + sub) << (e - 3));
}

int64_t
LatencySketch::bucket_high(size_t b)
{
    if (b < 16) {
        return static_cast<int64_t>(b);
    }
    size_t e = (b - 16) / 8 + 4;
    return bucket_low(b) + (int64_t{1} << (e - 3)) - 1;
}

void
LatencySketch::add(int64_t ms)
{
    uint32_t &c = counts_[bucket_of(ms)];
    if (c != UINT32_MAX) {
        c++;
        total_++;
    }
}

void
LatencySketch::merge(const LatencySketch &other)
{
    total_ = 0;
    for (size_t b = 0; b < bucket_count; b++) {
        uint64_t sum = uint64_t{counts_[b]} + other.counts_[b];
        counts_[b] = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
        total_ += counts_[b];
    }
}

int64_t
LatencySketch::quantile(double q) const
{
    if (total_ == 0) {
        return -1;
    }
    /* the rank-th smallest value, 1-based (nearest-rank) */
    auto rank =
        static_cast<uint64_t>(q * static_cast<double>(total_) + 0.999999);
    if (rank < 1) {
        rank = 1;
    }
    uint64_t seen = 0;
    for (size_t b = 0; b < bucket_count; b++) {
        seen += counts_[b];
        if (seen >= rank) {
            return (bucket_low(b) + bucket_high(b)) / 2;
        }
    }
    return bucket_high(bucket_count - 1);
}

boost::json::value
LatencySketch::to_json() const
{
    boost::json::array out;
    for (size_t b = 0; b < bucket_count; b++) {
        if (counts_[b] != 0) {
            out.push_back(boost::json::array{b, counts_[b]});
        }
    }
    return out;
}

bool
LatencySketch::from_json(const boost::json::value &v)
{
    counts_.fill(0);
    total_ = 0;
    const auto *arr = v.if_array();
    if (arr == nullptr) {
        return false;
    }
    for (const auto &e : *arr) {
        const auto *pair = e.if_array();
        if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_number()
            || !(*pair)[1].is_number()) {
            return false;
        }
        boost::system::error_code ec1, ec2;
        auto b = (*pair)[0].to_number<uint64_t>(ec1);
        auto c = (*pair)[1].to_number<uint64_t>(ec2);
        if (ec1 || ec2 || b >= bucket_count || c > UINT32_MAX) {
            return false;
        }
        counts_[b] = static_cast<uint32_t>(c);
    }
    for (uint32_t c : counts_) {
        total_ += c;
    }
    return true;
}

} // namespace kv::analysis
