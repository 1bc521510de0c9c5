/*
 * Segment classes and parameter names for path templates.  Pure functions;
 * any thread.
 */

#include "analysis/path_templates.h"

#include "analysis/detectors.h"
#include "analysis/text.h"

namespace kv::analysis {

namespace {

const char *const kind_names[] = {"literal", "integer", "uuid",  "hex",
                                  "base64",  "date",    "email", "other"};
constexpr size_t kind_count = sizeof kind_names / sizeof kind_names[0];

bool
all_digits(std::string_view s, size_t from, size_t n)
{
    for (size_t i = from; i < from + n; i++) {
        if (!is_digit(s[i])) {
            return false;
        }
    }
    return true;
}

/* At least 8 hex digits mixing digits and letters ("507f1f77bcf86cd7"):
 * all digits is a number, all letters most likely a word. */
bool
is_hex_id(std::string_view s)
{
    if (s.size() < 8) {
        return false;
    }
    bool digit = false, letter = false;
    for (char c : s) {
        if (!is_hex(c)) {
            return false;
        }
        (is_digit(c) ? digit : letter) = true;
    }
    return digit && letter;
}

/*
 * A base64 or base64url token of at least 16 characters with digits and
 * letters mixed as random bytes mix them.  Words give it away: a run of
 * six letters of one case ("callback") is kept literal, so a static
 * segment like "oauth2-callback-v1" stays a literal.  Random identifiers
 * that fail this still become a parameter through the distinct-value
 * bound.
 */
bool
is_base64_id(std::string_view s)
{
    if (s.size() < 16) {
        return false;
    }
    int digits = 0, letters = 0, run = 0;
    int run_case = 0; /* 1 lower, 2 upper */
    for (char c : s) {
        if (is_digit(c)) {
            digits++;
            run = 0;
        } else if (is_alpha(c)) {
            letters++;
            int cs = (c >= 'a' && c <= 'z') ? 1 : 2;
            run = cs == run_case ? run + 1 : 1;
            run_case = cs;
            if (run >= 6) {
                return false;
            }
        } else if (c == '-' || c == '_' || c == '+' || c == '=') {
            run = 0;
        } else {
            return false;
        }
    }
    return digits >= 2 && letters >= 2;
}

/* "line-items" -> "lineItem": singular, camel case, letters and digits. */
std::string
singular_camel(std::string_view word)
{
    std::string w;
    bool upper_next = false;
    for (char c : word) {
        if (is_alnum(c)) {
            if (w.empty() && is_digit(c)) {
                continue;
            }
            w.push_back(upper_next && !w.empty() ? static_cast<char>(
                            c >= 'a' && c <= 'z' ? c - 32 : c)
                                                 : ascii_lower(c));
            upper_next = false;
        } else {
            upper_next = true;
        }
    }
    auto ends = [&w](std::string_view suffix) {
        return w.size() > suffix.size()
               && w.compare(w.size() - suffix.size(), suffix.size(), suffix)
                      == 0;
    };
    if (ends("ies")) {
        w.replace(w.size() - 3, 3, "y");
    } else if (ends("sses") || ends("shes") || ends("ches") || ends("xes")
               || ends("zes")) {
        w.resize(w.size() - 2);
    } else if (ends("s") && !ends("ss") && !ends("us") && !ends("is")) {
        w.pop_back();
    }
    return w;
}

} // namespace

SegmentKind
classify_segment(std::string_view s)
{
    if (s.empty()) {
        return SegmentKind::literal;
    }
    if (all_digits(s, 0, s.size())) {
        return SegmentKind::integer;
    }
    if (s.size() > 128 || s.find_first_of("{}") != std::string_view::npos) {
        return SegmentKind::other;
    }
    if (is_uuid(s)) {
        return SegmentKind::uuid;
    }
    if (is_date(s) || is_date_time(s)) {
        return SegmentKind::date;
    }
    if (s.find('@') != std::string_view::npos && is_email(s)) {
        return SegmentKind::email;
    }
    if (s.find("%40") != std::string_view::npos
        && is_email(percent_decode(s, false))) {
        return SegmentKind::email;
    }
    if (is_hex_id(s)) {
        return SegmentKind::hex;
    }
    if (is_base64_id(s)) {
        return SegmentKind::base64;
    }
    return SegmentKind::literal;
}

const char *
segment_kind_name(SegmentKind k)
{
    size_t i = static_cast<size_t>(k);
    return i < kind_count ? kind_names[i] : "other";
}

std::vector<std::string>
segment_kind_names(SegmentKinds kinds)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < kind_count; i++) {
        if (kinds & (1u << i)) {
            out.emplace_back(kind_names[i]);
        }
    }
    return out;
}

SegmentKinds
segment_kinds_from_names(const std::vector<std::string> &names)
{
    SegmentKinds kinds = 0;
    for (const auto &n : names) {
        for (size_t i = 0; i < kind_count; i++) {
            if (n == kind_names[i]) {
                kinds |= static_cast<SegmentKinds>(1u << i);
            }
        }
    }
    return kinds;
}

bool
split_path(std::string_view path, size_t max,
           std::vector<std::string_view> &out)
{
    out.clear();
    size_t i = 0;
    while (i < path.size()) {
        size_t slash = path.find('/', i);
        size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > i) {
            if (out.size() == max) {
                return false;
            }
            out.push_back(path.substr(i, end - i));
        }
        i = end + 1;
    }
    return true;
}

std::vector<std::string>
template_names(const std::vector<TemplateSegment> &segments)
{
    std::vector<std::string> names(segments.size());
    std::vector<std::string> taken;
    bool first_id = true;
    for (size_t i = 0; i < segments.size(); i++) {
        const auto &s = segments[i];
        if (!s.param) {
            continue;
        }
        std::string base;
        if (s.kinds == kind_bit(SegmentKind::date)) {
            base = "date";
        } else if (s.kinds == kind_bit(SegmentKind::email)) {
            base = "email";
        } else if (first_id) {
            base = "id";
            first_id = false;
        } else if (i > 0 && !segments[i - 1].param) {
            std::string word = singular_camel(segments[i - 1].literal);
            base = word.empty() ? "id" : word + "Id";
        } else {
            base = "id";
        }
        std::string name = base;
        for (int n = 2;; n++) {
            bool used = false;
            for (const auto &t : taken) {
                used = used || t == name;
            }
            if (!used) {
                break;
            }
            name = base + std::to_string(n);
        }
        taken.push_back(name);
        names[i] = std::move(name);
    }
    return names;
}

std::string
render_template(const std::vector<TemplateSegment> &segments)
{
    if (segments.empty()) {
        return "/";
    }
    std::vector<std::string> names = template_names(segments);
    std::string out;
    for (size_t i = 0; i < segments.size(); i++) {
        out.push_back('/');
        if (segments[i].param) {
            out += '{' + names[i] + '}';
        } else {
            out += segments[i].literal;
        }
    }
    return out;
}

std::vector<TemplateSegment>
parse_template(std::string_view tmpl)
{
    std::vector<std::string_view> parts;
    split_path(tmpl, static_cast<size_t>(-1), parts);
    std::vector<TemplateSegment> out;
    for (std::string_view p : parts) {
        TemplateSegment s;
        if (p.size() >= 2 && p.front() == '{' && p.back() == '}') {
            s.param = true;
        } else {
            s.literal.assign(p);
        }
        out.push_back(std::move(s));
    }
    return out;
}

} // namespace kv::analysis
