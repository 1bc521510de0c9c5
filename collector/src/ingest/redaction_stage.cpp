#include "ingest/redaction_stage.h"

#include "base/text.h"

namespace kv {

namespace {

std::string_view
header(const HeaderList &headers, std::string_view name)
{
    for (const auto &[n, v] : headers) {
        if (iequals(n, name)) {
            return v;
        }
    }
    return {};
}

} // namespace

RedactionStage::RedactionStage(analysis::RedactionOptions options,
                               IngestCounters &counters)
    : options_(std::move(options)), counters_(counters)
{
    /* a bad key is said at start, not at the first exchange */
    free_.push_back(std::make_unique<analysis::Redactor>(options_));
}

RedactionStage::~RedactionStage() = default;

std::unique_ptr<analysis::Redactor>
RedactionStage::borrow()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!free_.empty()) {
            auto r = std::move(free_.back());
            free_.pop_back();
            return r;
        }
    }
    return std::make_unique<analysis::Redactor>(options_);
}

void
RedactionStage::give_back(std::unique_ptr<analysis::Redactor> r)
{
    std::lock_guard<std::mutex> g(lock_);
    free_.push_back(std::move(r));
}

analysis::RedactionReport
RedactionStage::redact(Exchange &x, analysis::Redactor &r)
{
    analysis::RedactionReport report;
    /* bodies first: their type and encoding are in the headers */
    if (x.request_body) {
        r.redact_body(*x.request_body,
                      header(x.request_headers, "Content-Type"),
                      header(x.request_headers, "Content-Encoding"), report);
    }
    if (x.response_body) {
        r.redact_body(*x.response_body,
                      header(x.response_headers, "Content-Type"),
                      header(x.response_headers, "Content-Encoding"), report);
    }
    r.redact_headers(x.request_headers, report);
    r.redact_headers(x.response_headers, report);
    r.redact_target(x.uri, report);
    return report;
}

void
RedactionStage::process(std::vector<Record> &records)
{
    std::unique_ptr<analysis::Redactor> r;
    analysis::RedactionReport report;
    for (Record &rec : records) {
        Exchange *x = std::get_if<Exchange>(&rec);
        if (x == nullptr) {
            continue;
        }
        if (!r) {
            r = borrow();
        }
        report += redact(*x, *r);
    }
    if (r) {
        give_back(std::move(r));
        bump(counters_.values_redacted, report.total());
        bump(counters_.bodies_not_redacted, report.unscanned_bodies);
    }
}

} // namespace kv
