/*
 * The pipeline step that masks secrets in every exchange before it is
 * stored: credential headers, secret members of JSON and form bodies and
 * of query strings, card numbers (analysis/redaction.h says how).  Any
 * ingest thread calls it; each call borrows a redactor of its own (they
 * keep an HMAC context) from a small pool.
 */

#ifndef KV_INGEST_REDACTION_STAGE_H
#define KV_INGEST_REDACTION_STAGE_H

#include <memory>
#include <mutex>
#include <vector>

#include "analysis/redaction.h"
#include "model/counters.h"
#include "model/records.h"

namespace kv {

class RedactionStage : public RecordStage {
  public:
    /* Throws when the options cannot make a redactor (an empty key). */
    RedactionStage(analysis::RedactionOptions options,
                   IngestCounters &counters);
    ~RedactionStage() override;

    void process(std::vector<Record> &records) override;

    /* One exchange, with a redactor the caller holds. */
    static analysis::RedactionReport redact(Exchange &x, analysis::Redactor &r);

  private:
    std::unique_ptr<analysis::Redactor> borrow();
    void give_back(std::unique_ptr<analysis::Redactor> r);

    analysis::RedactionOptions options_;
    IngestCounters &counters_;
    std::mutex lock_;
    std::vector<std::unique_ptr<analysis::Redactor>> free_;
};

} // namespace kv

#endif
