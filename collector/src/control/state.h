/*
 * The settings in force, shared by ingest (heartbeat replies), the console
 * and the control file, which is reread when it changes on disk and
 * rewritten when the console changes the settings.  Any thread reads the
 * current snapshot; changes are serialised by a lock of their own, and
 * poll() runs on the collector's file-watching thread.
 */

#ifndef KV_CONTROL_STATE_H
#define KV_CONTROL_STATE_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <boost/json/value.hpp>

#include "model/control.h"
#include "model/counters.h"

namespace kv {

class ControlState {
  public:
    struct Snapshot {
        Control control;
        std::string heartbeat_reply;
        uint64_t generation = 0;
    };

    using Logger = std::function<void(const std::string &)>;

    ControlState(std::string file, IngestCounters &counters, Logger log);

    /* The first read of the control file.  A missing file means the
     * defaults (the file is written at the first change); an unreadable or
     * invalid one is an error. */
    bool load(std::string &error);

    std::shared_ptr<const Snapshot> current() const;

    /* A change from the console: members of change replace the current
     * values; the file, when there is one, is rewritten. */
    bool update(const boost::json::value &change, std::string &error);

    /* Rereads the file if it changed since it was last read or written. */
    void poll();

    const std::string &file() const { return file_; }

  private:
    struct Stamp {
        long long mtime_ns = -1;
        long long size = -1;
        unsigned long long inode = 0;
        bool operator==(const Stamp &o) const
        {
            return mtime_ns == o.mtime_ns && size == o.size && inode == o.inode;
        }
    };

    Stamp stamp() const;
    bool read_file(Control &out, std::string &error) const;
    bool write_file(const Control &c, std::string &error);
    void install(const Control &c);

    std::string file_;
    IngestCounters &counters_;
    Logger log_;
    mutable std::mutex lock_;
    std::mutex file_lock_; /* one reader or writer of the file at a time */
    std::shared_ptr<const Snapshot> snapshot_;
    Stamp seen_;
};

} // namespace kv

#endif
