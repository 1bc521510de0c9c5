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

const char *const skip_authorization_refusal =
    "this change lets requests skip authorization; send it again with "
    "\"confirm\": \"skip-authorization\" to make it";

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
 * made again on theirs.  The confirmation is judged on the settings the
 * change is made on, and its record is written with it or not at all.
 */
bool
ControlState::store_change(const boost::json::value &change, bool whole,
                           const std::string &caller, bool confirmed,
                           Control &next, Outcome &out)
{
    for (int attempt = 0; attempt < 8; attempt++) {
        std::optional<StoredControl> stored = store_->control_settings();
        Control base = current()->control;
        if (stored && !parse_stored(*stored, base)) {
            base = current()->control;
        }
        if (whole) {
            /* the file states every setting */
            if (!apply_control(change, Control{}, next, out.error)
                || !policies_advance(base, next, out.error)) {
                return false;
            }
        } else if (!apply_control(change, base, next, out.error)) {
            return false;
        }
        if (!confirmed) {
            out.openings = authorization_openings(base, next);
            if (!out.openings.empty()) {
                out.error = skip_authorization_refusal;
                return false;
            }
        }
        int64_t version = stored ? stored->version : 0;
        if (stored && next == base) {
            stored_version_ = version;
            return true;
        }
        ControlChangeRow row = change_row(caller, base, next);
        if (store_->replace_control_settings(
                version, boost::json::serialize(control_to_json(next)),
                row.time_ms, next == base ? nullptr : &row)) {
            stored_version_ = version + 1;
            return true;
        }
    }
    out.error = "the settings kept changing while this change was made; try "
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
            Outcome why;
            if (store_change(control_to_json(from_file), true, "file", true,
                             next, why)) {
                install(next);
                if (stored) {
                    log_("control: settings from " + file_
                         + ", changed since the database's");
                }
                return true;
            }
            log_("control: " + file_ + ": " + why.error
                 + "; the database's settings stay");
            refused = true;
        }
        if (!stored) {
            Control next;
            Outcome why;
            if (!store_change(control_to_json(Control{}), true, "file", true,
                              next, why)) {
                error = why.error;
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

ControlChangeRow
ControlState::change_row(const std::string &caller, const Control &before,
                         const Control &after) const
{
    ControlChangeRow row;
    row.time_ms = now_ms();
    row.caller = caller;
    row.before = boost::json::serialize(control_to_json(before));
    row.after = boost::json::serialize(control_to_json(after));
    return row;
}

ControlState::Outcome
ControlState::update(const boost::json::value &change,
                     const std::string &caller, bool confirmed)
{
    std::lock_guard<std::mutex> g(file_lock_);
    Outcome out;
    Control before = current()->control;
    Control next;
    if (store_ != nullptr) {
        bool ok = false;
        try {
            ok = store_change(change, false, caller, confirmed, next, out);
        } catch (const StoreError &e) {
            out.error = std::string("cannot store the settings: ") + e.what();
            out.server_error = true;
        }
        if (!ok) {
            bump(counters_.control_errors);
            return out;
        }
        if (!(next == before)) {
            install(next);
            mirror_to_file(next);
            bump(counters_.control_updates);
            log_("control: settings changed from the console by " + caller);
        }
        out.ok = true;
        return out;
    }

    if (!apply_control(change, before, next, out.error)) {
        bump(counters_.control_errors);
        return out;
    }
    if (!confirmed) {
        out.openings = authorization_openings(before, next);
        if (!out.openings.empty()) {
            out.error = skip_authorization_refusal;
            bump(counters_.control_errors);
            return out;
        }
    }
    if (next == before) {
        out.ok = true;
        return out;
    }
    if (!file_.empty() && !write_file(next, out.error)) {
        out.server_error = true;
        bump(counters_.control_errors);
        return out;
    }
    if (journal_) {
        try {
            journal_(change_row(caller, before, next));
        } catch (const std::exception &e) {
            /* not recorded, not made: the file goes back as it was */
            std::string ignored;
            if (!file_.empty() && !write_file(before, ignored)) {
                log_("control: " + ignored);
            }
            out.error =
                std::string("the change could not be recorded: ") + e.what();
            out.server_error = true;
            bump(counters_.control_errors);
            return out;
        }
    }
    install(next);
    bump(counters_.control_updates);
    log_("control: settings changed from the console by " + caller);
    out.ok = true;
    return out;
}

/* An edit of the file: made like a change from the console, recorded as
 * the file's; false with the reason when it is not taken. */
bool
ControlState::take_file_edit(const Control &edited, std::string &error)
{
    Control before = current()->control;
    if (edited == before) {
        return true;
    }
    Control next = edited;
    if (store_ != nullptr) {
        Outcome out;
        try {
            if (!store_change(control_to_json(edited), true, "file", true, next,
                              out)) {
                error = out.error;
                return false;
            }
        } catch (const StoreError &e) {
            error = std::string("cannot store the settings: ") + e.what();
            return false;
        }
    } else {
        if (!policies_advance(before, next, error)) {
            return false;
        }
        if (journal_) {
            /* the edit is in force already: a record that fails is said */
            try {
                journal_(change_row("file", before, next));
            } catch (const std::exception &e) {
                log_(std::string("control: the change from the file could not "
                                 "be recorded: ")
                     + e.what());
            }
        }
    }
    install(next);
    bump(counters_.control_updates);
    log_("control: settings reread from " + file_);
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
                if (!read_file(next, error) || !take_file_edit(next, error)) {
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
