#include "ingest/api_inventory.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

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

/*
 * Lends an exchange's strings to the inventory's record for the length of
 * one observe() and gives them back: the inventory reads an
 * analysis::ExchangeRecord, and copying headers and bodies would cost
 * more than counting them does.
 */
class Lent {
  public:
    Lent(Exchange &x, analysis::ExchangeRecord &r) : x_(x), r_(r)
    {
        /* what may throw first, then what cannot */
        analysis::split_target(x.uri, r.path, r.query);
        r.host.assign(header(x.request_headers, "host"));
        r.method.swap(x.method);
        r.request_headers.swap(x.request_headers);
        r.response_headers.swap(x.response_headers);
        lend(x.request_body, r.request_body);
        lend(x.response_body, r.response_body);
        r.status = x.status;
        r.start_ms = x.time_ms;
        r.latency_ms = x.latency_ms;
        r.request_body_truncated = x.request_body_truncated;
        r.response_body_truncated = x.response_body_truncated;
    }
    ~Lent()
    {
        x_.method.swap(r_.method);
        x_.request_headers.swap(r_.request_headers);
        x_.response_headers.swap(r_.response_headers);
        give_back(x_.request_body, r_.request_body);
        give_back(x_.response_body, r_.response_body);
    }
    Lent(const Lent &) = delete;
    Lent &operator=(const Lent &) = delete;

  private:
    static void lend(std::optional<std::string> &from, std::string &to)
    {
        to.clear();
        if (from) {
            to.swap(*from);
        }
    }
    static void give_back(std::optional<std::string> &to, std::string &from)
    {
        if (to) {
            to->swap(from);
        }
    }

    Exchange &x_;
    analysis::ExchangeRecord &r_;
};

} // namespace

ApiInventory::ApiInventory(Options options)
    : options_(std::move(options)), inventory_(options_.inventory)
{
}

std::string
ApiInventory::host_key(std::string_view host)
{
    std::string k(trim_blanks(host));
    for (char &c : k) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    return k;
}

std::string
ApiInventory::endpoint_id(std::string_view host, std::string_view method,
                          std::string_view path_template)
{
    /* FNV-1a over the three, each ended by a byte none of them holds */
    uint64_t h = 14695981039346656037ull;
    for (std::string_view part : {host, method, path_template}) {
        for (char c : part) {
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        h = (h ^ 0xffu) * 1099511628211ull;
    }
    static const char hex[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; i--, h >>= 4) {
        out[static_cast<size_t>(i)] = hex[h & 15];
    }
    return out;
}

void
ApiInventory::observe_locked(Exchange &x)
{
    thread_local analysis::ExchangeRecord record;
    Lent lent(x, record);
    std::lock_guard<std::mutex> g(lock_);
    inventory_.observe(record);
}

void
ApiInventory::observe(Exchange &x)
{
    /* a failure costs the exchange its place in the inventory, never its
     * place in the store */
    try {
        observe_locked(x);
    } catch (const std::exception &) {
        failures_++;
    }
}

void
ApiInventory::process(std::vector<Record> &records)
{
    for (Record &r : records) {
        if (auto *x = std::get_if<Exchange>(&r)) {
            observe(*x);
        }
    }
}

void
ApiInventory::load(Store &store, std::vector<std::string> &warnings)
{
    std::vector<InventoryRow> rows = store.inventory();
    std::vector<DeclaredApiRow> declared = store.declared_apis();

    std::lock_guard<std::mutex> g(lock_);
    for (const InventoryRow &row : rows) {
        boost::json::error_code ec;
        boost::json::value v = boost::json::parse(row.state, ec);
        analysis::Inventory part(options_.inventory);
        std::string error;
        if (ec) {
            error = ec.message();
        } else {
            part.from_json(v, error);
        }
        if (!error.empty()) {
            warnings.push_back("the saved inventory of " + row.host
                               + " does not read (" + error
                               + "); it starts again");
            continue;
        }
        inventory_.merge(std::move(part));
    }
    for (const std::string &host : inventory_.hosts()) {
        saved_[host] = inventory_.host_version(host);
    }
    for (DeclaredApiRow &row : declared) {
        if (declared_.size() >= options_.max_declared) {
            warnings.push_back("the declared API of " + row.host
                               + " is one too many and is left out");
            continue;
        }
        std::string error;
        auto api = analysis::parse_declared_api(row.document, error);
        if (!api) {
            warnings.push_back("the declared API of " + row.host
                               + " does not read (" + error + ")");
            continue;
        }
        declared_[host_key(row.host)] =
            Declared{std::move(*api), std::move(row.document), row.declared_ms};
    }
}

size_t
ApiInventory::save(Store &store, int64_t now_ms)
{
    std::lock_guard<std::mutex> one(save_lock_);
    std::vector<InventoryRow> rows;
    std::vector<std::pair<std::string, uint64_t>> versions;
    std::vector<std::string> hosts =
        read([](const analysis::Inventory &inv, const DeclaredMap &) {
            return inv.hosts();
        });
    /* host by host: ingest waits for one host's rendering at most */
    for (const std::string &host : hosts) {
        boost::json::value state;
        uint64_t version = 0;
        {
            std::lock_guard<std::mutex> g(lock_);
            version = inventory_.host_version(host);
            auto it = saved_.find(host);
            if (it != saved_.end() && it->second == version) {
                continue;
            }
            state = inventory_.to_json(host);
        }
        rows.push_back({host, boost::json::serialize(state), now_ms});
        versions.emplace_back(host, version);
    }
    store.save_inventory(rows);
    std::lock_guard<std::mutex> g(lock_);
    for (auto &[host, version] : versions) {
        saved_[host] = version;
    }
    return rows.size();
}

bool
ApiInventory::declare(Store &store, const std::string &host,
                      std::string document, int64_t now_ms, std::string &error)
{
    std::string key = host_key(host);
    if (key.empty()) {
        error = "host must name the host the API is served as";
        return false;
    }
    auto api = analysis::parse_declared_api(document, error);
    if (!api) {
        return false;
    }
    std::lock_guard<std::mutex> one(declare_lock_);
    {
        std::lock_guard<std::mutex> g(lock_);
        if (declared_.find(key) == declared_.end()
            && declared_.size() >= options_.max_declared) {
            error = "at most " + std::to_string(options_.max_declared)
                    + " hosts may have a declared API; delete one first";
            return false;
        }
    }
    store.put_declared_api({key, document, now_ms});
    std::lock_guard<std::mutex> g(lock_);
    declared_[key] = Declared{std::move(*api), std::move(document), now_ms};
    return true;
}

bool
ApiInventory::undeclare(Store &store, const std::string &host)
{
    std::string key = host_key(host);
    std::lock_guard<std::mutex> one(declare_lock_);
    bool had = store.delete_declared_api(key);
    std::lock_guard<std::mutex> g(lock_);
    return declared_.erase(key) > 0 || had;
}

} // namespace kv
