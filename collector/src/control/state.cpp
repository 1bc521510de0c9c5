#include "control/state.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "base/text.h"
#include "control/settings.h"
#include "protocol/heartbeat.h"

namespace kv {

namespace {

/* The control file as the collector writes it: one setting a line, for
 * the person who edits it next. */
std::string
control_file_text(const Control &c)
{
    std::string out = "{\n";
    const boost::json::object j = control_to_json(c);
    size_t left = j.size();
    for (const auto &member : j) {
        out += "  " + boost::json::serialize(boost::json::string(member.key()))
               + ": " + boost::json::serialize(member.value());
        out += --left > 0 ? ",\n" : "\n";
    }
    return out + "}\n";
}

} // namespace

ControlState::ControlState(std::string file, IngestCounters &counters,
                           Logger log, Store *store)
    : file_(std::move(file)), counters_(counters), log_(std::move(log)),
      store_(store)
{
    install(Control{});
}

ControlState::Stamp
ControlState::stamp() const
{
    Stamp s;
    struct stat st;
    if (::stat(file_.c_str(), &st) == 0) {
        s.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL
                     + st.st_mtim.tv_nsec;
        s.size = static_cast<long long>(st.st_size);
        s.inode = st.st_ino;
    }
    return s;
}

bool
ControlState::read_file(Control &out, std::string &error) const
{
    std::ifstream in(file_, std::ios::binary);
    if (!in) {
        error = "cannot read " + file_ + ": " + std::strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    boost::json::error_code ec;
    boost::json::value j = boost::json::parse(text.str(), ec);
    if (ec) {
        error = file_ + " is not JSON";
        return false;
    }
    /* the file states every setting: what it leaves out is the default */
    std::string why;
    if (!apply_control(j, Control{}, out, why)) {
        error = file_ + ": " + why;
        return false;
    }
    return true;
}

bool
ControlState::write_file(const Control &c, std::string &error)
{
    std::string tmp = file_ + ".tmp";
    {
        std::ofstream outf(tmp, std::ios::binary | std::ios::trunc);
        outf << control_file_text(c);
        outf.close();
        if (!outf) {
            error = "cannot write " + tmp + ": " + std::strerror(errno);
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (::rename(tmp.c_str(), file_.c_str()) != 0) {
        error = "cannot replace " + file_ + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    seen_ = stamp();
    return true;
}

void
ControlState::mirror_to_file(const Control &c)
{
    std::string error;
    if (!file_.empty() && !write_file(c, error)) {
        bump(counters_.control_errors);
        log_("control: " + error
             + "; the file no longer shows the settings "
               "in force");
    }
}

void
ControlState::install(const Control &c)
{
    auto s = std::make_shared<Snapshot>();
    s->control = c;
    s->heartbeat_reply = heartbeat_reply(c);
    std::lock_guard<std::mutex> g(lock_);
    s->generation = snapshot_ ? snapshot_->generation + 1 : 0;
    snapshot_ = std::move(s);
}

std::shared_ptr<const ControlState::Snapshot>
ControlState::current() const
{
    std::lock_guard<std::mutex> g(lock_);
    return snapshot_;
}

/* Settings another collector (or a newer one) stored: taken only when
 * this collector can check them, never half. */
bool
ControlState::parse_stored(const StoredControl &s, Control &out)
{
    boost::json::error_code ec;
    boost::json::value j = boost::json::parse(s.settings, ec);
    std::string why = "not JSON";
    if (!ec && apply_control(j, Control{}, out, why)) {
        return true;
    }
    bump(counters_.control_errors);
    log_("control: the database's settings (version "
         + std::to_string(s.version) + ") are not valid here: " + why
         + "; settings unchanged");
    return false;
}

/*
 * A change on top of what is stored.  Two consoles may change settings at
 * the same moment on two collectors: each change is made on the settings
 * it read, and stored only if nobody stored others since; otherwise it is
 * made again on theirs.
 */
bool
ControlState::store_change(const boost::json::value &change, bool whole,
                           Control &next, std::string &error)
{
    for (int attempt = 0; attempt < 8; attempt++) {
        std::optional<StoredControl> stored = store_->control_settings();
        Control base = current()->control;
        if (stored && !parse_stored(*stored, base)) {
            base = current()->control;
        }
        if (whole) {
            /* the file states every setting */
            if (!apply_control(change, Control{}, next, error)
                || !policies_advance(base, next, error)) {
                return false;
            }
        } else if (!apply_control(change, base, next, error)) {
            return false;
        }
        int64_t version = stored ? stored->version : 0;
        if (stored && next == base) {
            stored_version_ = version;
            return true;
        }
        if (store_->replace_control_settings(
                version, boost::json::serialize(control_to_json(next)),
                now_ms())) {
            stored_version_ = version + 1;
            return true;
        }
    }
    error = "the settings kept changing while this change was made; try "
            "again";
    return false;
}

bool
ControlState::load(std::string &error)
{
    std::lock_guard<std::mutex> g(file_lock_);
    Control from_file;
    bool have_file = false;
    Stamp s;
    if (!file_.empty()) {
        s = stamp();
        if (s.mtime_ns >= 0) {
            if (!read_file(from_file, error)) {
                return false;
            }
            have_file = true;
        }
        seen_ = s;
    }
    if (store_ == nullptr) {
        if (have_file) {
            install(from_file);
        }
        return true;
    }

    std::optional<StoredControl> stored;
    try {
        stored = store_->control_settings();
    } catch (const StoreError &e) {
        error = std::string("cannot read the control settings: ") + e.what();
        return false;
    }
    Control in_db;
    bool db_ok = stored && parse_stored(*stored, in_db);
    bool refused = false; /* an edit of the file kept for its author */
    if (stored) {
        stored_version_ = stored->version;
    }
    try {
        /* an edit of the file while no collector ran is newer than what
         * the database holds; otherwise the database is */
        bool file_newer =
            have_file
            && (!db_ok
                || (from_file != in_db
                    && s.mtime_ns / 1000000 > stored->changed_ms));
        if (file_newer || (!stored && have_file)) {
            Control next;
            std::string why;
            if (store_change(control_to_json(from_file), true, next, why)) {
                install(next);
                if (stored) {
                    log_("control: settings from " + file_
                         + ", changed since the database's");
                }
                return true;
            }
            log_("control: " + file_ + ": " + why
                 + "; the database's settings stay");
            refused = true;
        }
        if (!stored) {
            Control next;
            std::string why;
            if (!store_change(control_to_json(Control{}), true, next, why)) {
                error = why;
                return false;
            }
            install(next);
            mirror_to_file(next);
            return true;
        }
    } catch (const StoreError &e) {
        error = std::string("cannot store the control settings: ") + e.what();
        return false;
    }
    if (db_ok) {
        install(in_db);
        if (!refused && (!have_file || from_file != in_db)) {
            mirror_to_file(in_db);
        }
    } else if (have_file) {
        install(from_file);
    }
    return true;
}

bool
ControlState::update(const boost::json::value &change, std::string &error)
{
    std::lock_guard<std::mutex> g(file_lock_);
    Control next;
    bool ok = store_ ? store_change(change, false, next, error)
                     : apply_control(change, current()->control, next, error);
    if (!ok) {
        bump(counters_.control_errors);
        return false;
    }
    if (store_ == nullptr && !file_.empty() && !write_file(next, error)) {
        bump(counters_.control_errors);
        return false;
    }
    install(next);
    if (store_ != nullptr) {
        mirror_to_file(next);
    }
    bump(counters_.control_updates);
    log_("control: settings changed from the console");
    return true;
}

void
ControlState::poll()
{
    std::lock_guard<std::mutex> g(file_lock_);
    if (!file_.empty()) {
        Stamp s = stamp();
        if (!(s == seen_)) {
            seen_ = s;
            if (s.mtime_ns < 0) {
                log_("control: " + file_ + " is gone; settings unchanged");
            } else {
                Control next;
                std::string error;
                bool ok = read_file(next, error);
                if (ok && next != current()->control) {
                    try {
                        ok = store_ ? store_change(control_to_json(next), true,
                                                   next, error)
                                    : policies_advance(current()->control, next,
                                                       error);
                    } catch (const StoreError &e) {
                        error = std::string("cannot store the settings: ")
                                + e.what();
                        ok = false;
                    }
                    if (ok) {
                        install(next);
                        bump(counters_.control_updates);
                        log_("control: settings reread from " + file_);
                    }
                }
                if (!ok) {
                    bump(counters_.control_errors);
                    log_("control: " + error + "; settings unchanged");
                }
            }
        }
    }
    if (store_ == nullptr) {
        return;
    }

    /* what another collector of the database stored */
    std::optional<StoredControl> stored;
    try {
        stored = store_->control_settings();
        if (stored_unreadable_) {
            stored_unreadable_ = false;
            log_("control: the database's settings are readable again");
        }
    } catch (const StoreError &e) {
        if (!stored_unreadable_) {
            stored_unreadable_ = true;
            log_(std::string("control: cannot read the database's settings: ")
                 + e.what() + "; settings unchanged");
        }
        return;
    }
    if (!stored || stored->version == stored_version_) {
        return;
    }
    stored_version_ = stored->version;
    Control c;
    if (!parse_stored(*stored, c) || c == current()->control) {
        return;
    }
    install(c);
    mirror_to_file(c);
    bump(counters_.control_updates);
    log_("control: settings changed by another collector (version "
         + std::to_string(stored->version) + ")");
}

} // namespace kv
