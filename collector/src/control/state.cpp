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
                           Logger log)
    : file_(std::move(file)), counters_(counters), log_(std::move(log))
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

bool
ControlState::load(std::string &error)
{
    if (file_.empty()) {
        return true;
    }
    std::lock_guard<std::mutex> g(file_lock_);
    Stamp s = stamp();
    if (s.mtime_ns < 0) {
        seen_ = s;
        return true;
    }
    Control c;
    if (!read_file(c, error)) {
        return false;
    }
    seen_ = s;
    install(c);
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
    if (!apply_control(change, before, next, out.error)) {
        bump(counters_.control_errors);
        return out;
    }
    if (!confirmed) {
        out.openings = authorization_openings(before, next);
        if (!out.openings.empty()) {
            out.error = "this change lets requests skip authorization; send "
                        "it again with \"confirm\": \"skip-authorization\" "
                        "to make it";
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

void
ControlState::poll()
{
    if (file_.empty()) {
        return;
    }
    std::lock_guard<std::mutex> g(file_lock_);
    Stamp s = stamp();
    if (s == seen_) {
        return;
    }
    seen_ = s;
    if (s.mtime_ns < 0) {
        log_("control: " + file_ + " is gone; settings unchanged");
        return;
    }
    Control next;
    std::string error;
    if (!read_file(next, error)
        || !policies_advance(current()->control, next, error)) {
        bump(counters_.control_errors);
        log_("control: " + error + "; settings unchanged");
        return;
    }
    Control before = current()->control;
    if (next == before) {
        return;
    }
    install(next);
    bump(counters_.control_updates);
    log_("control: settings reread from " + file_);
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

} // namespace kv
