/*
 * Recognisers for sensitive values.  Each is a bounded forward scan over
 * the bytes it is given, with no allocation, because the inventory runs
 * them over every stored body.  Pure functions; any thread.
 */

#include "analysis/detectors.h"

#include <algorithm>
#include <cstring>

#include "analysis/json_scan.h"
#include "analysis/text.h"

namespace kv::analysis {

namespace {

const char *const type_names[kSensitiveTypeCount] = {
    "email", "card", "jwt", "private_key", "iban", "phone", "secret"};

const char *const builtin_secret_names[] = {
    "password",     "passwd",        "secret",        "token",
    "access_token", "refresh_token", "client_secret", "api_key"};

constexpr std::string_view phone_names[] = {"mobile", "telephone", "tel",
                                            "msisdn", "cell",      "fax"};

constexpr size_t max_folded_name = 64;

/* Lower case without '-' and '_'; false when longer than the buffer. */
bool
fold_name(std::string_view name, char *buf, size_t &len)
{
    len = 0;
    for (char c : name) {
        if (c == '-' || c == '_') {
            continue;
        }
        if (len == max_folded_name) {
            return false;
        }
        buf[len++] = ascii_lower(c);
    }
    return true;
}

bool
is_b64url(char c)
{
    return is_alnum(c) || c == '-' || c == '_';
}

bool
is_upper(char c)
{
    return c >= 'A' && c <= 'Z';
}

/* Card issuers' leading digits: Visa 4, Mastercard 51-55 and 2221-2720,
 * Maestro 50 and 56-69, Amex 34/37, Diners 30/36/38/39, JCB 35,
 * Discover and UnionPay 6x. */
bool
issuer_prefix(const char *digits)
{
    switch (digits[0]) {
    case '4':
    case '5':
    case '6':
        return true;
    case '3':
        return digits[1] == '0' || (digits[1] >= '4' && digits[1] <= '9');
    case '2': {
        int four = (digits[0] - '0') * 1000 + (digits[1] - '0') * 100
                   + (digits[2] - '0') * 10 + (digits[3] - '0');
        return four >= 2221 && four <= 2720;
    }
    default:
        return false;
    }
}

bool
luhn_digits(const char *d, size_t n)
{
    int sum = 0;
    for (size_t i = 0; i < n; i++) {
        int v = d[n - 1 - i] - '0';
        if (i % 2 == 1) {
            v *= 2;
            if (v > 9) {
                v -= 9;
            }
        }
        sum += v;
    }
    return sum % 10 == 0;
}

bool
card_digits(const char *d, size_t n)
{
    return n >= 13 && n <= 19 && issuer_prefix(d) && luhn_digits(d, n);
}

/* A number's digits touch a letter, a digit or a decimal point. */
bool
glued_before(std::string_view t, size_t i)
{
    if (i == 0) {
        return false;
    }
    char p = t[i - 1];
    if (is_alnum(p)) {
        return true;
    }
    return p == '.' && i >= 2 && is_digit(t[i - 2]);
}

bool
glued_after(std::string_view t, size_t i)
{
    if (i >= t.size()) {
        return false;
    }
    char n = t[i];
    if (is_alnum(n)) {
        return true;
    }
    return n == '.' && i + 1 < t.size() && is_digit(t[i + 1]);
}

/*
 * Card at the digit run starting at i.  On success [begin, end) is set;
 * next is where the caller goes on either way.
 */
bool
card_at(std::string_view t, size_t i, size_t &end, size_t &next)
{
    char digits[20];
    size_t n = 0;
    size_t j = i;
    while (j < t.size() && is_digit(t[j])) {
        if (n < sizeof digits) {
            digits[n] = t[j];
        }
        n++;
        j++;
    }
    next = j;
    if (n >= 13) {
        if (n <= 19 && !glued_after(t, j) && card_digits(digits, n)) {
            end = j;
            return true;
        }
        return false;
    }
    /* grouped: one separator kind, single, between digit groups */
    if (j >= t.size() || (t[j] != ' ' && t[j] != '-')) {
        return false;
    }
    char sep = t[j];
    size_t best_end = 0;
    while (j + 1 < t.size() && t[j] == sep && is_digit(t[j + 1])) {
        size_t k = j + 1;
        while (k < t.size() && is_digit(t[k])) {
            if (n < sizeof digits) {
                digits[n] = t[k];
            }
            n++;
            k++;
        }
        if (n > 19) {
            break;
        }
        j = k;
        if (n >= 13 && !glued_after(t, j) && card_digits(digits, n)) {
            best_end = j; /* keep the longest that passes */
        }
    }
    if (best_end != 0) {
        end = best_end;
        next = best_end;
        return true;
    }
    return false;
}

/* An e-mail address around the '@' at i: [begin, end) when found. */
bool
email_at(std::string_view t, size_t at, size_t &begin, size_t &end)
{
    size_t b = at;
    while (b > 0 && at - b < 64) {
        char c = t[b - 1];
        if (is_alnum(c) || c == '.' || c == '_' || c == '%' || c == '+'
            || c == '-') {
            b--;
        } else {
            break;
        }
    }
    if (b == at || t[b] == '.') {
        return false;
    }
    size_t e = at + 1;
    size_t last_dot = 0;
    while (e < t.size() && e - at < 256) {
        char c = t[e];
        if (is_alnum(c) || c == '-') {
            e++;
        } else if (c == '.' && e + 1 < t.size() && is_alnum(t[e + 1])
                   && t[e - 1] != '.' && t[e - 1] != '@') {
            last_dot = e;
            e++;
        } else {
            break;
        }
    }
    if (last_dot == 0 || e - last_dot - 1 < 2) {
        return false;
    }
    for (size_t k = last_dot + 1; k < e; k++) {
        if (!is_alpha(t[k])) {
            return false;
        }
    }
    begin = b;
    end = e;
    return true;
}

/* A JWT starting at i ("eyJ..."): end when found. */
bool
jwt_at(std::string_view t, size_t i, size_t &end)
{
    if (i > 0 && is_b64url(t[i - 1])) {
        return false;
    }
    size_t j = i;
    int dots = 0;
    size_t seg_start = i;
    size_t seg_len[3] = {0, 0, 0};
    while (j < t.size()) {
        char c = t[j];
        if (is_b64url(c)) {
            j++;
        } else if (c == '.' && dots < 2) {
            seg_len[dots] = j - seg_start;
            dots++;
            j++;
            seg_start = j;
        } else {
            break;
        }
    }
    if (dots != 2) {
        return false;
    }
    seg_len[2] = j - seg_start;
    size_t payload = i + seg_len[0] + 1;
    if (seg_len[0] < 10 || seg_len[1] < 4 || t.compare(payload, 2, "ey") != 0) {
        return false;
    }
    end = j;
    return true;
}

bool
private_key_at(std::string_view t, size_t i)
{
    static constexpr std::string_view begin = "-----BEGIN ";
    static constexpr std::string_view tail = "PRIVATE KEY-----";
    if (t.compare(i, begin.size(), begin) != 0) {
        return false;
    }
    size_t j = i + begin.size();
    size_t limit = j + 32;
    while (j < t.size() && j < limit) {
        if (t.compare(j, tail.size(), tail) == 0) {
            return true;
        }
        if (!is_upper(t[j]) && t[j] != ' ') {
            return false;
        }
        j++;
    }
    return false;
}

/* Mod 97 of an IBAN's characters, rearranged; -1 when not an IBAN. */
int
iban_mod97(const char *chars, size_t n)
{
    if (n < 15 || n > 34 || !is_upper(chars[0]) || !is_upper(chars[1])
        || !is_digit(chars[2]) || !is_digit(chars[3])) {
        return -1;
    }
    int mod = 0;
    for (size_t k = 0; k < n; k++) {
        char c = chars[(k + 4) % n];
        if (is_digit(c)) {
            mod = (mod * 10 + (c - '0')) % 97;
        } else if (is_upper(c)) {
            mod = (mod * 100 + (c - 'A' + 10)) % 97;
        } else {
            return -1;
        }
    }
    return mod;
}

/* An IBAN starting at i, compact or in groups of four split by spaces. */
bool
iban_at(std::string_view t, size_t i, size_t &end)
{
    if (i > 0 && is_alnum(t[i - 1])) {
        return false;
    }
    char chars[34];
    size_t n = 0;
    size_t j = i;
    while (j < t.size() && n < sizeof chars) {
        char c = t[j];
        if (is_upper(c) || is_digit(c)) {
            chars[n++] = c;
            j++;
        } else if (c == ' ' && n % 4 == 0 && j + 1 < t.size()
                   && (is_upper(t[j + 1]) || is_digit(t[j + 1]))) {
            j++;
        } else {
            break;
        }
    }
    if (j < t.size() && is_alnum(t[j])) {
        return false;
    }
    if (iban_mod97(chars, n) != 1) {
        return false;
    }
    end = j;
    return true;
}

/* '+' then 8 to 15 digits with single separators: an international
 * number. */
bool
phone_at(std::string_view t, size_t plus, size_t &end)
{
    if (plus > 0 && (is_alnum(t[plus - 1]) || t[plus - 1] == '+')) {
        return false;
    }
    size_t digits = 0;
    size_t j = plus + 1;
    bool last_sep = true;
    while (j < t.size()) {
        char c = t[j];
        if (is_digit(c)) {
            digits++;
            last_sep = false;
        } else if ((c == ' ' || c == '-' || c == '.' || c == '(' || c == ')')
                   && !last_sep) {
            last_sep = c != ')';
        } else {
            break;
        }
        j++;
    }
    while (j > plus + 1 && !is_digit(t[j - 1])) {
        j--;
    }
    if (digits < 8 || digits > 15 || (j < t.size() && is_alnum(t[j]))) {
        return false;
    }
    end = j;
    return true;
}

} // namespace

std::vector<std::string>
sensitive_type_names(SensitiveSet set)
{
    std::vector<std::string> out;
    for (int i = 0; i < kSensitiveTypeCount; i++) {
        if (set & (1u << i)) {
            out.emplace_back(type_names[i]);
        }
    }
    return out;
}

SensitiveSet
sensitive_set_from_names(const std::vector<std::string> &names)
{
    SensitiveSet set = 0;
    for (const auto &n : names) {
        for (int i = 0; i < kSensitiveTypeCount; i++) {
            if (n == type_names[i]) {
                set |= 1u << i;
            }
        }
    }
    return set;
}

bool
luhn_valid(std::string_view s)
{
    char d[64];
    size_t n = 0;
    for (char c : s) {
        if (is_digit(c)) {
            if (n == sizeof d) {
                return false;
            }
            d[n++] = c;
        }
    }
    return n > 1 && luhn_digits(d, n);
}

bool
find_card_number(std::string_view text, size_t from, size_t &begin, size_t &end)
{
    size_t i = from;
    while (i < text.size()) {
        if (!is_digit(text[i])) {
            i++;
            continue;
        }
        size_t next = i;
        if (!glued_before(text, i) && card_at(text, i, end, next)) {
            begin = i;
            return true;
        }
        /* past the whole run: a card never starts inside one */
        i = next;
        while (i < text.size() && is_digit(text[i])) {
            i++;
        }
    }
    return false;
}

bool
is_card_number(std::string_view value)
{
    size_t b, e;
    return find_card_number(value, 0, b, e) && b == 0 && e == value.size();
}

bool
is_iban(std::string_view value)
{
    size_t e;
    return !value.empty() && iban_at(value, 0, e) && e == value.size();
}

bool
is_email(std::string_view value)
{
    size_t at = value.find('@');
    size_t b, e;
    return at != std::string_view::npos && email_at(value, at, b, e) && b == 0
           && e == value.size();
}

bool
is_jwt(std::string_view value)
{
    size_t e;
    return value.size() > 3 && value.compare(0, 3, "eyJ") == 0
           && jwt_at(value, 0, e) && e == value.size();
}

bool
is_phone_value(std::string_view value)
{
    size_t digits = 0;
    for (size_t i = 0; i < value.size(); i++) {
        char c = value[i];
        if (is_digit(c)) {
            digits++;
        } else if (c == '+' && i == 0) {
        } else if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') {
            return false;
        }
    }
    return digits >= 7 && digits <= 15;
}

static bool
iends_with(std::string_view s, std::string_view suffix)
{
    if (s.size() < suffix.size()) {
        return false;
    }
    s = s.substr(s.size() - suffix.size());
    for (size_t i = 0; i < s.size(); i++) {
        if (ascii_lower(s[i]) != suffix[i]) {
            return false;
        }
    }
    return true;
}

bool
is_phone_key(std::string_view name)
{
    /* every JSON member name comes here: no folding unless the end of the
     * name says it may be one */
    if (iends_with(name, "phone")) {
        return true; /* "phone", "mobilePhone", "home_phone" */
    }
    switch (name.size()) {
    case 3:
    case 4:
    case 6:
    case 9:
        for (std::string_view p : phone_names) {
            if (iequals(name, p)) {
                return true;
            }
        }
        return false;
    default:
        break;
    }
    if (!iends_with(name, "number")) {
        return false;
    }
    char buf[max_folded_name];
    size_t len;
    return fold_name(name, buf, len) && len >= 11
           && std::string_view(buf + len - 11, 11) == "phonenumber";
}

static bool
digits_at(std::string_view s, size_t from, size_t n)
{
    if (from + n > s.size()) {
        return false;
    }
    for (size_t i = from; i < from + n; i++) {
        if (!is_digit(s[i])) {
            return false;
        }
    }
    return true;
}

bool
is_uuid(std::string_view s)
{
    if (s.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < 36; i++) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !is_hex(s[i])) {
            return false;
        }
    }
    return true;
}

bool
is_date(std::string_view s)
{
    if (s.size() != 10 || !digits_at(s, 0, 4) || s[4] != '-'
        || !digits_at(s, 5, 2) || s[7] != '-' || !digits_at(s, 8, 2)) {
        return false;
    }
    int month = (s[5] - '0') * 10 + (s[6] - '0');
    int day = (s[8] - '0') * 10 + (s[9] - '0');
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool
is_date_time(std::string_view s)
{
    /* 2024-01-31T10:20:30[.123][Z|+01:00] */
    if (s.size() < 20 || !is_date(s.substr(0, 10))
        || (s[10] != 'T' && s[10] != 't' && s[10] != ' ')
        || !digits_at(s, 11, 2) || s[13] != ':' || !digits_at(s, 14, 2)
        || s[16] != ':' || !digits_at(s, 17, 2)) {
        return false;
    }
    size_t i = 19;
    if (i < s.size() && s[i] == '.') {
        i++;
        size_t b = i;
        while (i < s.size() && is_digit(s[i])) {
            i++;
        }
        if (i == b) {
            return false;
        }
    }
    if (i < s.size() && (s[i] == 'Z' || s[i] == 'z')) {
        return i + 1 == s.size();
    }
    return i + 6 == s.size() && (s[i] == '+' || s[i] == '-')
           && digits_at(s, i + 1, 2) && s[i + 3] == ':'
           && digits_at(s, i + 4, 2);
}

bool
is_ipv4(std::string_view s)
{
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t b = i;
        int v = 0;
        while (i < s.size() && is_digit(s[i]) && i - b < 3) {
            v = v * 10 + (s[i] - '0');
            i++;
        }
        if (i == b || v > 255 || (i - b > 1 && s[b] == '0')) {
            return false;
        }
        parts++;
        if (parts < 4) {
            if (i >= s.size() || s[i] != '.') {
                return false;
            }
            i++;
        }
    }
    return i == s.size();
}

bool
is_uri(std::string_view s)
{
    if (s.empty() || !is_alpha(s[0])) {
        return false;
    }
    size_t i = 1;
    while (i < s.size()
           && (is_alnum(s[i]) || s[i] == '+' || s[i] == '.' || s[i] == '-')) {
        i++;
    }
    if (s.compare(i, 3, "://") != 0 || i + 3 >= s.size()) {
        return false;
    }
    for (size_t k = i + 3; k < s.size(); k++) {
        unsigned char c = static_cast<unsigned char>(s[k]);
        if (c <= ' ' || c == '"' || c == '<' || c == '>' || c == '\\') {
            return false;
        }
    }
    return true;
}

namespace {

/* Bytes where a kind can start; the scan skips everything else in a
 * tight loop, since most text is plain letters and spaces. */
enum : uint8_t {
    kTrigDigit = 1,
    kTrigAt,
    kTrigPlus,
    kTrigJ,
    kTrigDash,
    kTrigUpper
};

struct Triggers {
    uint8_t t[256] = {};
    constexpr Triggers()
    {
        for (int c = '0'; c <= '9'; c++) {
            t[c] = kTrigDigit;
        }
        for (int c = 'A'; c <= 'Z'; c++) {
            t[c] = kTrigUpper;
        }
        t[static_cast<unsigned char>('@')] = kTrigAt;
        t[static_cast<unsigned char>('+')] = kTrigPlus;
        t[static_cast<unsigned char>('J')] = kTrigJ; /* "eyJ" opens a JWT */
        t[static_cast<unsigned char>('-')] = kTrigDash;
    }
};
constexpr Triggers triggers;

} // namespace

SensitiveSet
scan_text(std::string_view t)
{
    constexpr SensitiveSet all = kSensitiveEmail | kSensitiveCard
                                 | kSensitiveJwt | kSensitivePrivateKey
                                 | kSensitiveIban | kSensitivePhone;
    SensitiveSet found = 0;
    const size_t n = t.size();
    size_t i = 0;
    while (found != all) {
        while (i < n && triggers.t[static_cast<unsigned char>(t[i])] == 0) {
            i++;
        }
        if (i >= n) {
            break;
        }
        size_t b, e;
        switch (triggers.t[static_cast<unsigned char>(t[i])]) {
        case kTrigDigit:
            if (!(found & kSensitiveCard) && !glued_before(t, i)) {
                size_t next;
                if (card_at(t, i, e, next)) {
                    found |= kSensitiveCard;
                    i = e;
                    continue;
                }
            }
            while (i < n && is_digit(t[i])) {
                i++;
            }
            continue;
        case kTrigAt:
            if (!(found & kSensitiveEmail) && email_at(t, i, b, e)) {
                found |= kSensitiveEmail;
            }
            break;
        case kTrigPlus:
            if (!(found & kSensitivePhone) && phone_at(t, i, e)) {
                found |= kSensitivePhone;
                i = e;
                continue;
            }
            break;
        case kTrigJ:
            if (!(found & kSensitiveJwt) && i >= 2 && t[i - 1] == 'y'
                && t[i - 2] == 'e' && jwt_at(t, i - 2, e)) {
                found |= kSensitiveJwt;
                i = e;
                continue;
            }
            break;
        case kTrigDash:
            if (!(found & kSensitivePrivateKey) && i + 10 < n && t[i + 1] == '-'
                && private_key_at(t, i)) {
                found |= kSensitivePrivateKey;
            }
            break;
        default:
            if (!(found & kSensitiveIban) && i + 3 < n && is_upper(t[i + 1])
                && is_digit(t[i + 2]) && is_digit(t[i + 3])
                && iban_at(t, i, e)) {
                found |= kSensitiveIban;
                i = e;
                continue;
            }
            break;
        }
        i++;
    }
    return found;
}

SecretNames::SecretNames(const std::vector<std::string> &extra)
{
    auto add = [this](std::string_view name) {
        char buf[max_folded_name];
        size_t len;
        if (!fold_name(name, buf, len) || len == 0) {
            return;
        }
        std::string folded(buf, len);
        for (const auto &n : names_) {
            if (n == folded) {
                return;
            }
        }
        names_.push_back(folded);
    };
    for (const char *n : builtin_secret_names) {
        add(n);
    }
    for (const auto &n : extra) {
        add(n);
    }
    min_ = max_folded_name;
    max_ = 0;
    for (const auto &n : names_) {
        uint16_t pair = static_cast<uint16_t>(
            static_cast<unsigned char>(n[0]) << 8
            | static_cast<unsigned char>(n.size() > 1 ? n[1] : 0));
        if (std::find(leads_.begin(), leads_.end(), pair) == leads_.end()) {
            leads_.push_back(pair);
        }
        min_ = std::min(min_, n.size());
        max_ = std::max(max_, n.size());
    }
}

bool
SecretNames::matches(std::string_view name) const
{
    if (name.size() < min_ || name.empty()) {
        return false;
    }
    /* most names fail on their first two letters, before any folding */
    char lead[2];
    size_t got = 0;
    for (size_t i = 0; i < name.size() && got < 2; i++) {
        if (name[i] != '-' && name[i] != '_') {
            lead[got++] = ascii_lower(name[i]);
        }
    }
    if (got == 0) {
        return false;
    }
    if (got == 1) {
        lead[1] = 0; /* a one-letter name */
    }
    uint16_t pair =
        static_cast<uint16_t>(static_cast<unsigned char>(lead[0]) << 8
                              | static_cast<unsigned char>(lead[1]));
    if (std::find(leads_.begin(), leads_.end(), pair) == leads_.end()) {
        return false;
    }
    char buf[max_folded_name];
    size_t len;
    if (!fold_name(name, buf, len) || len < min_ || len > max_) {
        return false;
    }
    for (const auto &n : names_) {
        if (n.size() == len && std::memcmp(n.data(), buf, len) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace kv::analysis

namespace kv::analysis {

SensitiveSet
scan_json_sensitive(std::string_view json, const SecretNames &secrets,
                    bool &complete)
{
    struct Handler {
        std::string_view t;
        const SecretNames &secrets;
        SensitiveSet found = 0;
        bool phone_member = false;

        bool key(std::string_view raw, bool)
        {
            if (secrets.matches(raw)) {
                found |= kSensitiveSecret;
            }
            phone_member = is_phone_key(raw);
            return phone_member;
        }
        void captured(size_t b, size_t e, JsonKind kind, bool)
        {
            phone_member = false;
            std::string_view v = t.substr(b, e - b);
            if (kind == JsonKind::string && v.size() >= 2) {
                v = v.substr(1, v.size() - 2);
            }
            if ((kind == JsonKind::string || kind == JsonKind::number)
                && is_phone_value(v)) {
                found |= kSensitivePhone;
            }
            found |= scan_text(v);
        }
        void string(size_t b, size_t e)
        {
            found |= scan_text(t.substr(b, e - b));
        }
        void number(size_t b, size_t e)
        {
            if (e - b >= 13 && is_card_number(t.substr(b, e - b))) {
                found |= kSensitiveCard;
            }
        }
    };
    Handler h{json, secrets};
    complete = scan_json(json, h) == JsonScanResult::complete;
    return h.found;
}

} // namespace kv::analysis
