/*
 * The settings in force, shared by ingest (heartbeat replies), the console
 * and the control file, which is reread when it changes on disk and
 * rewritten when the console changes the settings.  Every change, from
 * either, is handed to a journal with who made it and the settings before
 * and after.  Any thread reads the current snapshot; changes are
 * serialised by a lock of their own, and poll() runs on the collector's
 * file-watching thread.
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
    /* Keeps a change; throws (StoreError) when it cannot. */
    using Journal = std::function<void(const ControlChangeRow &)>;

    /* What became of a change from the console. */
    struct Outcome {
        bool ok = false;
        std::string error;
        /* the settings were fine; the file or the record failed */
        bool server_error = false;
        /* when refused for want of a confirmation: what it would open */
        std::vector<std::string> openings;
    };

    ControlState(std::string file, IngestCounters &counters, Logger log);

    /* The first read of the control file.  A missing file means the
     * defaults (the file is written at the first change); an unreadable or
     * invalid one is an error. */
    bool load(std::string &error);

    std::shared_ptr<const Snapshot> current() const;

    /* Before changes may come: where they are recorded. */
    void set_journal(Journal journal) { journal_ = std::move(journal); }

    /*
     * A change from the console by caller (its address): members of
     * change replace the current values; the file, when there is one, is
     * rewritten, and the change recorded.  A change that would let
     * requests skip authorization that could not before (see
     * authorization_openings) is made only when confirmed; otherwise it
     * is refused with what it would open.  A change that cannot be
     * recorded is not made.
     */
    Outcome update(const boost::json::value &change, const std::string &caller,
                   bool confirmed);

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
    ControlChangeRow change_row(const std::string &caller,
                                const Control &before,
                                const Control &after) const;

    std::string file_;
    IngestCounters &counters_;
    Logger log_;
    Journal journal_;
    mutable std::mutex lock_;
    std::mutex file_lock_; /* one reader or writer of the file at a time */
    std::shared_ptr<const Snapshot> snapshot_;
    Stamp seen_;
};

} // namespace kv

#endif
