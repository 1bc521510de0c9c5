/*
 * The settings in force, shared by ingest (heartbeat replies), the console
 * and the control file.  With a store they live in the database, so that
 * every collector of one database hands every sensor the same: a change
 * from any console is stored there, with its record in the change log in
 * the same transaction, and reaches the other collectors at their next
 * poll.  The control file, when there is one, mirrors them: an edit of it
 * is a change like one from the console, and a change from elsewhere
 * rewrites it.  Without a store (tests) the settings are the file's and
 * every change is handed to a journal.  Any thread reads the current
 * snapshot; changes and polls are serialised by a lock of their own, and
 * poll() runs on the collector's housekeeping thread.
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

    /* Without a store (tests): where changes are recorded. */
    void set_journal(Journal journal) { journal_ = std::move(journal); }

    /*
     * A change from the console by caller (its address): members of
     * change replace the values in force (stored last, with a store); the
     * change is stored and recorded together, and the file, when there is
     * one, rewritten.  A change that would let requests skip authorization
     * that could not before (see authorization_openings) is made only when
     * confirmed; otherwise it is refused with what it would open.  A
     * change that cannot be recorded is not made.
     */
    Outcome update(const boost::json::value &change, const std::string &caller,
                   bool confirmed);

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
     * the console, recorded as caller's), refusing what opens
     * authorization unless confirmed; false with out's reason when it
     * cannot be. */
    bool store_change(const boost::json::value &change, bool whole,
                      const std::string &caller, bool confirmed, Control &next,
                      Outcome &out);
    bool take_file_edit(const Control &edited, std::string &error);
    bool parse_stored(const StoredControl &s, Control &out);
    void mirror_to_file(const Control &c);
    ControlChangeRow change_row(const std::string &caller,
                                const Control &before,
                                const Control &after) const;

    std::string file_;
    IngestCounters &counters_;
    Logger log_;
    Store *store_;
    Journal journal_;
    mutable std::mutex lock_;
    std::mutex file_lock_; /* one change or poll at a time */
    std::shared_ptr<const Snapshot> snapshot_;
    Stamp seen_;
    int64_t stored_version_ = 0;
    bool stored_unreadable_ = false; /* logged once until readable again */
};

} // namespace kv

#endif
