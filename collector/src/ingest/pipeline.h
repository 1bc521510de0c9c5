/*
 * Where records go after decoding: through the steps main() installs, in
 * order (a step may change or drop records), then to the store.  Called by
 * every ingest thread, once per read, with what that read produced.
 */

#ifndef KV_INGEST_PIPELINE_H
#define KV_INGEST_PIPELINE_H

#include <vector>

#include "model/records.h"
#include "store/store.h"

namespace kv {

class Pipeline {
  public:
    explicit Pipeline(Store &store) : store_(store) {}

    /* Before ingest starts: steps are not added while records flow. */
    void add(RecordStage &stage) { stages_.push_back(&stage); }

    void deliver(std::vector<Record> &records)
    {
        for (RecordStage *s : stages_) {
            if (records.empty()) {
                return;
            }
            s->process(records);
        }
        store_.push(records);
    }

  private:
    Store &store_;
    std::vector<RecordStage *> stages_;
};

} // namespace kv

#endif
