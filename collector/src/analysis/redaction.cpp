/*
 * Redaction of secrets before an exchange is stored.  Headers are matched
 * by name; bodies go through one scan that finds secret members and card
 * numbers and records where they are; the body is rebuilt once, and only
 * when something was found, so an exchange without secrets costs one
 * read of its bytes and no allocation.
 *
 * One Redactor per thread (it keeps an HMAC context): the collector's
 * ingest or writer thread.
 */

#include "analysis/redaction.h"

#include <stdexcept>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "analysis/json_scan.h"
#include "analysis/text.h"

namespace kv::analysis {

namespace {

constexpr std::string_view builtin_headers[] = {"authorization",
                                                "proxy-authorization", "cookie",
                                                "set-cookie", "x-api-key"};

/* Media types whose bodies are not text: digits in them are not card
 * numbers, and rewriting them would only corrupt the stored copy. */
bool
binary_media(std::string_view media)
{
    static constexpr std::string_view prefixes[] = {"image/", "audio/",
                                                    "video/", "font/"};
    static constexpr std::string_view exact[] = {
        "application/octet-stream", "application/zip",      "application/gzip",
        "application/x-protobuf",   "application/protobuf", "application/grpc"};
    for (std::string_view p : prefixes) {
        if (istarts_with(media, p)) {
            return true;
        }
    }
    for (std::string_view e : exact) {
        if (iequals(media, e)) {
            return true;
        }
    }
    return false;
}

void
append_utf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

uint32_t
hex4(std::string_view s, size_t i)
{
    uint32_t v = 0;
    for (size_t k = 0; k < 4; k++) {
        char c = s[i + k];
        v = v * 16
            + static_cast<uint32_t>(is_digit(c) ? c - '0'
                                                : ascii_lower(c) - 'a' + 10);
    }
    return v;
}

/* The text of a JSON string's raw contents (already validated), so that
 * a secret hashes alike however it was escaped. */
std::string
json_unescape(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        if (c != '\\' || i + 1 >= raw.size()) {
            out.push_back(c);
            continue;
        }
        char e = raw[++i];
        switch (e) {
        case 'b':
            out.push_back('\b');
            break;
        case 'f':
            out.push_back('\f');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'u': {
            if (i + 4 >= raw.size()) {
                return out;
            }
            uint32_t cp = hex4(raw, i + 1);
            i += 4;
            if (cp >= 0xD800 && cp < 0xDC00 && i + 6 < raw.size()
                && raw[i + 1] == '\\' && raw[i + 2] == 'u') {
                uint32_t lo = hex4(raw, i + 3);
                if (lo >= 0xDC00 && lo < 0xE000) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    i += 6;
                }
            }
            append_utf8(out, cp);
            break;
        }
        default:
            out.push_back(e);
            break;
        }
    }
    return out;
}

std::string
digits_of(std::string_view s)
{
    std::string d;
    for (char c : s) {
        if (is_digit(c)) {
            d.push_back(c);
        }
    }
    return d;
}

} // namespace

RedactionReport &
RedactionReport::operator+=(const RedactionReport &o)
{
    headers += o.headers;
    body_members += o.body_members;
    query_params += o.query_params;
    card_numbers += o.card_numbers;
    unscanned_bodies += o.unscanned_bodies;
    return *this;
}

struct Redactor::Mac {
    EVP_MAC *mac = nullptr;
    EVP_MAC_CTX *ctx = nullptr;
    ~Mac()
    {
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
    }
};

Redactor::Redactor(const RedactionOptions &options)
    : keys_(options.extra_keys), mac_(std::make_unique<Mac>())
{
    if (options.key.empty()) {
        throw std::invalid_argument("redaction needs a non-empty key");
    }
    for (const auto &h : options.extra_headers) {
        extra_headers_.push_back(to_lower(trim(h)));
    }
    mac_->mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac_->mac != nullptr) {
        mac_->ctx = EVP_MAC_CTX_new(mac_->mac);
    }
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end()};
    if (mac_->ctx == nullptr
        || EVP_MAC_init(
               mac_->ctx,
               reinterpret_cast<const unsigned char *>(options.key.data()),
               options.key.size(), params)
               != 1) {
        throw std::runtime_error("OpenSSL has no HMAC-SHA256");
    }
}

Redactor::~Redactor() = default;

void
Redactor::mask_into(std::string_view value, char *out)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    size_t len = 0;
    /* a null key keeps the one given at construction */
    bool ok =
        EVP_MAC_init(mac_->ctx, nullptr, 0, nullptr) == 1
        && EVP_MAC_update(mac_->ctx,
                          reinterpret_cast<const unsigned char *>(value.data()),
                          value.size())
               == 1
        && EVP_MAC_final(mac_->ctx, md, &len, sizeof md) == 1 && len >= 6;
    static const char hex[] = "0123456789abcdef";
    std::copy(redaction_mask_prefix.begin(), redaction_mask_prefix.end(), out);
    out += redaction_mask_prefix.size();
    for (size_t k = 0; k < 6; k++) {
        /* without a hash the value is still hidden; it only stops
         * correlating */
        unsigned char b = ok ? md[k] : 0;
        out[2 * k] = hex[b >> 4];
        out[2 * k + 1] = hex[b & 15];
    }
}

std::string
Redactor::mask(std::string_view value)
{
    std::string m(redaction_mask_size, '\0');
    mask_into(value, m.data());
    return m;
}

std::string
Redactor::quoted_mask(std::string_view value)
{
    std::string m(redaction_mask_size + 2, '"');
    mask_into(value, m.data() + 1);
    return m;
}

bool
Redactor::is_mask(std::string_view v)
{
    if (v.size() != redaction_mask_size
        || v.compare(0, redaction_mask_prefix.size(), redaction_mask_prefix)
               != 0) {
        return false;
    }
    for (size_t k = redaction_mask_prefix.size(); k < v.size(); k++) {
        if (!is_hex(v[k])) {
            return false;
        }
    }
    return true;
}

bool
Redactor::secret_header(std::string_view name) const
{
    for (std::string_view h : builtin_headers) {
        if (iequals(name, h)) {
            return true;
        }
    }
    for (const auto &h : extra_headers_) {
        if (iequals(name, h)) {
            return true;
        }
    }
    return false;
}

void
Redactor::redact_headers(HeaderPairs &headers, RedactionReport &report)
{
    for (auto &[name, value] : headers) {
        if (!secret_header(name)) {
            continue;
        }
        std::string_view v = trim(value);
        if (iequals(name, "authorization")
            || iequals(name, "proxy-authorization")) {
            /* "Bearer <token>": the scheme says how a client
             * authenticates, and is no secret */
            size_t sp = v.find(' ');
            std::string_view scheme, cred = v;
            if (sp != std::string_view::npos) {
                scheme = v.substr(0, sp);
                cred = trim(v.substr(sp + 1));
            }
            if (cred.empty() || is_mask(cred)) {
                continue;
            }
            std::string out(scheme);
            if (!scheme.empty()) {
                out.push_back(' ');
            }
            out += mask(cred);
            value = std::move(out);
            report.headers++;
        } else if (iequals(name, "cookie") || iequals(name, "set-cookie")) {
            /* names stay: "session=<mask>"; Set-Cookie's attributes
             * after the first pair are no secret */
            bool set = iequals(name, "set-cookie");
            std::string out;
            std::string_view rest = value;
            bool changed = false;
            bool first = true;
            while (true) {
                size_t semi = rest.find(';');
                std::string_view part = rest.substr(0, semi);
                size_t eq = part.find('=');
                std::string_view val = eq == std::string_view::npos
                                           ? trim(part)
                                           : trim(part.substr(eq + 1));
                if ((first || !set) && !val.empty() && !is_mask(val)) {
                    size_t vb = static_cast<size_t>(val.data() - part.data());
                    out.append(part.substr(0, vb));
                    out += mask(val);
                    out.append(part.substr(vb + val.size()));
                    changed = true;
                } else {
                    out.append(part);
                }
                first = false;
                if (semi == std::string_view::npos) {
                    break;
                }
                out.push_back(';');
                rest.remove_prefix(semi + 1);
            }
            if (changed) {
                value = std::move(out);
                report.headers++;
            }
        } else if (!v.empty() && !is_mask(v)) {
            value = mask(v);
            report.headers++;
        }
    }
}

void
Redactor::card_pass(std::string_view s, size_t begin, size_t end,
                    std::vector<Edit> &edits, bool quote, uint32_t &cards)
{
    if (end - begin < 13) {
        return; /* too short to hold a card number */
    }
    std::string_view part = s.substr(0, end);
    size_t b, e;
    size_t from = begin;
    while (find_card_number(part, from, b, e)) {
        std::string digits = digits_of(part.substr(b, e - b));
        edits.push_back({b, e, quote ? quoted_mask(digits) : mask(digits)});
        cards++;
        from = e;
    }
}

void
Redactor::apply(std::string &s, std::vector<Edit> &edits)
{
    if (edits.empty()) {
        return;
    }
    std::string out;
    size_t grow = 0;
    for (const auto &e : edits) {
        grow += e.with.size();
    }
    out.reserve(s.size() + grow);
    size_t at = 0;
    for (const auto &e : edits) {
        out.append(s, at, e.begin - at);
        out += e.with;
        at = e.end;
    }
    out.append(s, at, std::string::npos);
    s.swap(out);
    edits.clear();
}

void
Redactor::redact_params(std::string &s, size_t from, uint32_t &members,
                        uint32_t &cards)
{
    size_t i = from;
    while (i < s.size()) {
        size_t amp = s.find('&', i);
        size_t end = amp == std::string::npos ? s.size() : amp;
        size_t eq = s.find('=', i);
        if (eq != std::string::npos && eq < end) {
            std::string_view name(s.data() + i, eq - i);
            std::string_view val(s.data() + eq + 1, end - eq - 1);
            bool secret;
            if (name.find_first_of("%+") == std::string_view::npos) {
                secret = keys_.matches(name);
            } else {
                secret = keys_.matches(percent_decode(name, true));
            }
            if (secret && !val.empty() && !is_mask(val)) {
                edits_.push_back(
                    {eq + 1, end, mask(percent_decode(val, true))});
                members++;
            } else {
                card_pass(s, eq + 1, end, edits_, false, cards);
            }
        }
        i = end + 1;
    }
    apply(s, edits_);
}

void
Redactor::redact_query(std::string &query, RedactionReport &report)
{
    redact_params(query, 0, report.query_params, report.card_numbers);
}

void
Redactor::redact_target(std::string &target, RedactionReport &report)
{
    size_t q = target.find('?');
    if (q != std::string::npos) {
        redact_params(target, q + 1, report.query_params, report.card_numbers);
    }
}

void
Redactor::redact_body(std::string &body, std::string_view content_type,
                      std::string_view content_encoding,
                      RedactionReport &report)
{
    if (body.empty()) {
        return;
    }
    std::string_view enc = trim(content_encoding);
    if (!enc.empty() && !iequals(enc, "identity")) {
        report.unscanned_bodies++;
        return;
    }
    std::string_view media =
        trim(content_type.substr(0, content_type.find(';')));
    if (iequals(media, "application/x-www-form-urlencoded")) {
        redact_params(body, 0, report.body_members, report.card_numbers);
        return;
    }
    if (binary_media(media)) {
        return;
    }
    size_t first = body.find_first_not_of(" \t\r\n");
    bool try_json = is_json_media_type(media)
                    || (first != std::string::npos
                        && (body[first] == '{' || body[first] == '['));
    if (try_json) {
        /* edits are gathered during the scan and applied after it;
         * a body that turns out not to be JSON drops them and gets the
         * plain card pass */
        struct Handler {
            Redactor &r;
            std::string_view text;
            RedactionReport found;

            bool key(std::string_view raw, bool escaped)
            {
                return escaped ? r.keys_.matches(json_unescape(raw))
                               : r.keys_.matches(raw);
            }
            void captured(size_t b, size_t e, JsonKind kind, bool complete)
            {
                std::string_view v = text.substr(b, e - b);
                if (kind == JsonKind::literal) {
                    return; /* true, false, null: nothing secret */
                }
                if (kind == JsonKind::string) {
                    /* contents only, the quotes stay; a value cut by the
                     * capture limit has no closing quote */
                    std::string_view in =
                        v.substr(1, v.size() - (complete ? 2 : 1));
                    if (in.empty() || is_mask(in)) {
                        return;
                    }
                    r.edits_.push_back({b + 1, b + 1 + in.size(),
                                        in.find('\\') == std::string_view::npos
                                            ? r.mask(in)
                                            : r.mask(json_unescape(in))});
                } else {
                    r.edits_.push_back({b, e, r.quoted_mask(v)});
                }
                found.body_members++;
            }
            void string(size_t b, size_t e)
            {
                r.card_pass(text, b, e, r.edits_, false, found.card_numbers);
            }
            void number(size_t b, size_t e)
            {
                std::string_view v = text.substr(b, e - b);
                if (v.size() >= 13 && is_card_number(v)) {
                    r.edits_.push_back({b, e, r.quoted_mask(v)});
                    found.card_numbers++;
                }
            }
        };
        Handler h{*this, body, {}};
        if (scan_json(std::string_view(body), h) != JsonScanResult::invalid) {
            report += h.found;
            apply(body, edits_);
            return;
        }
        edits_.clear();
    }
    card_pass(body, 0, body.size(), edits_, false, report.card_numbers);
    apply(body, edits_);
}

RedactionReport
Redactor::redact(ExchangeRecord &x)
{
    RedactionReport report;
    auto header = [](const HeaderPairs &h, std::string_view name) {
        const std::string *v = find_header(h, name);
        return v ? std::string_view(*v) : std::string_view();
    };
    redact_body(x.request_body, header(x.request_headers, "content-type"),
                header(x.request_headers, "content-encoding"), report);
    redact_body(x.response_body, header(x.response_headers, "content-type"),
                header(x.response_headers, "content-encoding"), report);
    redact_headers(x.request_headers, report);
    redact_headers(x.response_headers, report);
    redact_query(x.query, report);
    return report;
}

} // namespace kv::analysis
