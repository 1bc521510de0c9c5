/*
 * The settings in force, shared by ingest (heartbeat replies), the console
 * and the control file.  With a store they live in the database, so that
 * every collector of one database hands every sensor the same: a change
 * from any console is stored there and reaches the other collectors at
 * their next poll.  The control file, when there is one, mirrors them: an
 * edit of it is a change like one from the console, and a change from
 * elsewhere rewrites it.  Any thread reads the current snapshot; changes
 * and polls are serialised by a lock of their own, and poll() runs on the
 * collector's housekeeping thread.
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
#include "store/store.h"

namespace kv {

class ControlState {
  public:
    struct Snapshot {
        Control control;
        std::string heartbeat_reply;
        uint64_t generation = 0;
    };

    using Logger = std::function<void(const std::string &)>;

    /* Without a store the settings are the file's and this process's. */
    ControlState(std::string file, IngestCounters &counters, Logger log,
                 Store *store = nullptr);

    /* The first read.  A missing file means the database's settings, or
     * the defaults (the file is written with them); an unreadable or
     * invalid file, or a database that cannot be read, is an error.
     * When the file and the database disagree, the one changed last
     * wins. */
    bool load(std::string &error);

    std::shared_ptr<const Snapshot> current() const;

    /* A change from the console: members of change replace the values
     * stored last.  Throws StoreError when the database cannot take it. */
    bool update(const boost::json::value &change, std::string &error);

    /* Rereads the file if it changed since it was last read or written,
     * and takes what another collector stored. */
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
    /* Stores next on top of what is stored (as a change from the file or
     * the console); false with a reason when it cannot be. */
    bool store_change(const boost::json::value &change, bool whole,
                      Control &next, std::string &error);
    bool parse_stored(const StoredControl &s, Control &out);
    void mirror_to_file(const Control &c);

    std::string file_;
    IngestCounters &counters_;
    Logger log_;
    Store *store_;
    mutable std::mutex lock_;
    std::mutex file_lock_; /* one change or poll at a time */
    std::shared_ptr<const Snapshot> snapshot_;
    Stamp seen_;
    int64_t stored_version_ = 0;
    bool stored_unreadable_ = false; /* logged once until readable again */
};

} // namespace kv

#endif
