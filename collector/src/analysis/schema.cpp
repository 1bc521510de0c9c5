/*
 * JSON Schema inference.  Bodies are folded in straight from Boost.JSON's
 * event parser, without building a document, because the inventory does
 * this for every JSON exchange.  On the inventory's thread.
 */

#include "analysis/schema.h"

#include <algorithm>

#include <boost/json.hpp>
#include <boost/json/basic_parser_impl.hpp>

#include "analysis/detectors.h"
#include "analysis/json_scan.h"
#include "analysis/path_templates.h"
#include "analysis/text.h"

namespace kv::analysis {

namespace json = boost::json;

namespace {

const char *const format_names[] = {"date-time", "date", "email",
                                    "uuid",      "uri",  "ipv4"};
/* When strings fit several formats, the most specific is named. */
const uint8_t format_priority[] = {kFormatUuid,  kFormatDateTime, kFormatDate,
                                   kFormatEmail, kFormatIpv4,     kFormatUri};

const char *
format_name(uint8_t bit)
{
    for (size_t i = 0; i < 6; i++) {
        if (bit == (1u << i)) {
            return format_names[i];
        }
    }
    return "";
}

/* Strings longer than this have no format we name, and are scanned for
 * sensitive data in the parts the parser hands over. */
constexpr size_t max_format_string = 2048;

struct NoOpScan {
    bool key(std::string_view, bool) { return false; }
    void captured(size_t, size_t, JsonKind, bool) {}
    void string(size_t, size_t) {}
    void number(size_t, size_t) {}
};

} // namespace

uint8_t
string_formats(std::string_view s)
{
    if (s.empty() || s.size() > max_format_string) {
        return 0;
    }
    uint8_t f = 0;
    char c = s[0];
    if (is_digit(c)) {
        if (is_date_time(s)) {
            f |= kFormatDateTime;
        } else if (is_date(s)) {
            f |= kFormatDate;
        } else if (is_ipv4(s)) {
            f |= kFormatIpv4;
        }
    }
    if (s.size() == 36 && is_uuid(s)) {
        f |= kFormatUuid;
    }
    if (is_alpha(c) && is_uri(s)) {
        f |= kFormatUri;
    } else if (s.find('@') != std::string_view::npos && is_email(s)) {
        f |= kFormatEmail;
    }
    return f;
}

/* The event handler Boost.JSON's basic_parser drives. */
struct SchemaSax {
    static constexpr size_t max_object_size = size_t(-1);
    static constexpr size_t max_array_size = size_t(-1);
    static constexpr size_t max_key_size = size_t(-1);
    static constexpr size_t max_string_size = size_t(-1);

    struct Frame {
        SchemaNode *node; /* nullptr: not described (too deep or wide) */
        bool object;
        SchemaNode *pending; /* an object's next member value */
        size_t next = 0;     /* where the next member likely is */
    };

    SchemaBuilder *b = nullptr;
    const SecretNames *secrets = nullptr;
    std::vector<Frame> stack;
    std::string key;
    std::string text; /* a string value arriving in parts */
    size_t text_size = 0;

    void set_type(SchemaNode *n, uint8_t type)
    {
        if (!(n->types & type)) {
            n->types |= type;
            b->changes_++;
        }
    }

    SchemaNode *target()
    {
        if (stack.empty()) {
            if (!b->root_) {
                b->root_.reset(b->new_node());
            }
            return b->root_.get();
        }
        Frame &f = stack.back();
        if (f.node == nullptr) {
            return nullptr;
        }
        if (f.object) {
            SchemaNode *p = f.pending;
            f.pending = nullptr;
            return p;
        }
        if (!f.node->items) {
            f.node->items.reset(b->new_node());
        }
        return f.node->items.get();
    }

    void open(bool object)
    {
        SchemaNode *n = target();
        if (n != nullptr) {
            set_type(n, object ? kTypeObject : kTypeArray);
            n->values++;
            (object ? n->objects : n->arrays)++;
            if (stack.size() >= b->limits_.max_depth) {
                n->depth_capped = true; /* its contents go undescribed */
                n = nullptr;
            }
        }
        stack.push_back({n, object, nullptr, 0});
    }

    void scalar(uint8_t type)
    {
        SchemaNode *n = target();
        if (n != nullptr) {
            set_type(n, type);
            n->values++;
        }
    }

    void string_value(std::string_view s, bool complete)
    {
        SchemaNode *n = target();
        if (n == nullptr) {
            return;
        }
        set_type(n, kTypeString);
        n->values++;
        b->add_string(*n, complete ? s : std::string_view());
    }

    bool on_document_begin(json::error_code &) { return true; }
    bool on_document_end(json::error_code &) { return true; }
    bool on_object_begin(json::error_code &)
    {
        open(true);
        return true;
    }
    bool on_object_end(size_t, json::error_code &)
    {
        stack.pop_back();
        return true;
    }
    bool on_array_begin(json::error_code &)
    {
        open(false);
        return true;
    }
    bool on_array_end(size_t, json::error_code &)
    {
        stack.pop_back();
        return true;
    }
    bool on_key_part(json::string_view s, size_t, json::error_code &)
    {
        key.append(s.data(), s.size());
        return true;
    }
    bool on_key(json::string_view s, size_t, json::error_code &)
    {
        std::string_view name(s.data(), s.size());
        if (!key.empty()) {
            key.append(s.data(), s.size());
            name = key;
        }
        Frame &f = stack.back();
        if (f.node != nullptr) {
            /* objects of one kind list their members in one order: try
             * the one after the last before searching */
            auto &props = f.node->properties;
            if (f.next < props.size() && props[f.next].name == name) {
                SchemaNode::Property &p = props[f.next++];
                if (p.last_object != f.node->objects) {
                    p.last_object = f.node->objects;
                    p.present++;
                }
                f.pending = p.schema.get();
            } else {
                f.pending = b->member(*f.node, name, secrets);
                for (size_t i = 0; i < props.size(); i++) {
                    if (props[i].schema.get() == f.pending) {
                        f.next = i + 1;
                        break;
                    }
                }
            }
        }
        key.clear();
        return true;
    }
    bool on_string_part(json::string_view s, size_t, json::error_code &)
    {
        text_size += s.size();
        if (text_size <= max_format_string) {
            text.append(s.data(), s.size());
        }
        return true;
    }
    bool on_string(json::string_view s, size_t, json::error_code &)
    {
        if (text_size == 0) {
            string_value(std::string_view(s.data(), s.size()), true);
        } else {
            text_size += s.size();
            if (text_size <= max_format_string) {
                text.append(s.data(), s.size());
                string_value(text, true);
            } else {
                string_value(std::string_view(), false);
            }
            text.clear();
            text_size = 0;
        }
        return true;
    }
    bool on_number_part(json::string_view, json::error_code &) { return true; }
    bool on_int64(int64_t, json::string_view, json::error_code &)
    {
        scalar(kTypeInteger);
        return true;
    }
    bool on_uint64(uint64_t, json::string_view, json::error_code &)
    {
        scalar(kTypeInteger);
        return true;
    }
    bool on_double(double, json::string_view, json::error_code &)
    {
        scalar(kTypeNumber);
        return true;
    }
    bool on_bool(bool, json::error_code &)
    {
        scalar(kTypeBoolean);
        return true;
    }
    bool on_null(json::error_code &)
    {
        scalar(kTypeNull);
        return true;
    }
    bool on_comment_part(json::string_view, json::error_code &) { return true; }
    bool on_comment(json::string_view, json::error_code &) { return true; }
};

SchemaBuilder::SchemaBuilder(SchemaLimits limits) : limits_(limits) {}
SchemaBuilder::SchemaBuilder(SchemaBuilder &&) noexcept = default;
SchemaBuilder &SchemaBuilder::operator=(SchemaBuilder &&) noexcept = default;
SchemaBuilder::~SchemaBuilder() = default;

SchemaNode *
SchemaBuilder::new_node()
{
    if (nodes_ >= limits_.max_nodes) {
        return nullptr;
    }
    nodes_++;
    changes_++;
    return new SchemaNode();
}

SchemaNode *
SchemaBuilder::member(SchemaNode &obj, std::string_view name,
                      const SecretNames *secrets)
{
    if (classify_segment(name) != SegmentKind::literal) {
        if (!obj.additional) {
            obj.additional.reset(new_node());
        }
        return obj.additional.get();
    }
    SchemaNode::Property *p = property(obj, name, secrets);
    return p ? p->schema.get() : nullptr;
}

SchemaNode::Property *
SchemaBuilder::property(SchemaNode &obj, std::string_view name,
                        const SecretNames *secrets)
{
    SchemaNode::Property *p = nullptr;
    for (auto &q : obj.properties) {
        if (q.name == name) {
            p = &q;
            break;
        }
    }
    if (p == nullptr) {
        if (obj.properties.size() >= limits_.max_properties) {
            obj.properties_capped = true;
            return nullptr;
        }
        SchemaNode *n = new_node();
        if (n == nullptr) {
            obj.properties_capped = true;
            return nullptr;
        }
        obj.properties.push_back({std::string(name), 0, 0, nullptr});
        p = &obj.properties.back();
        p->schema.reset(n);
        static const SecretNames builtin;
        n->secret = (secrets ? secrets : &builtin)->matches(name);
    }
    /* a member named twice in one object counts once */
    if (p->last_object != obj.objects) {
        p->last_object = obj.objects;
        p->present++;
    }
    return p;
}

void
SchemaBuilder::add_string(SchemaNode &n, std::string_view s)
{
    /* s is empty for a string too long to keep: it has no format and
     * ends any enum */
    uint8_t formats = n.strings == 0
                          ? string_formats(s)
                          : (n.formats ? n.formats & string_formats(s) : 0);
    if (formats != n.formats || n.strings == 0) {
        n.formats = formats;
        changes_++;
    }
    n.strings++;
    if (n.enum_open) {
        return;
    }
    /* Only codes ("open", "EUR", "in_progress") make an enum: a value
     * with spaces or an '@', or one a detector names, or one under a
     * secret's name, may be personal or secret, and the schema is shown
     * and exported. */
    bool code = !n.secret && !s.empty() && s.size() <= limits_.max_enum_value;
    for (size_t i = 0; code && i < s.size(); i++) {
        char c = s[i];
        code = is_alnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
    }
    if (!code || scan_text(s) != 0) {
        n.enum_open = true;
        n.enum_values.clear();
        changes_++;
        return;
    }
    auto it = std::lower_bound(n.enum_values.begin(), n.enum_values.end(), s);
    if (it != n.enum_values.end() && *it == s) {
        return;
    }
    changes_++;
    if (n.enum_values.size() >= limits_.max_enum) {
        n.enum_open = true;
        n.enum_values.clear();
        n.enum_values.shrink_to_fit();
        return;
    }
    n.enum_values.insert(it, std::string(s));
}

bool
SchemaBuilder::add_json(std::string_view text, bool validated,
                        const SecretNames *secrets)
{
    /* validate first, so a broken body changes nothing */
    NoOpScan check;
    if (!validated && scan_json(text, check) != JsonScanResult::complete) {
        return false;
    }
    json::parse_options opt;
    opt.max_depth = json_scan_max_depth;
    json::basic_parser<SchemaSax> p(opt);
    SchemaSax &h = p.handler();
    h.b = this;
    h.secrets = secrets;
    json::error_code ec;
    uint64_t before = changes_;
    p.write_some(false, text.data(), text.size(), ec);
    unchanged_ = changes_ == before ? unchanged_ + 1 : 0;
    return !ec;
}

bool
SchemaBuilder::wants_sample()
{
    offered_++;
    return unchanged_ < settle_after || offered_ % sample_every == 0;
}

void
SchemaBuilder::add_value(SchemaNode &n, const json::value &v, size_t depth)
{
    n.values++;
    switch (v.kind()) {
    case json::kind::null:
        n.types |= kTypeNull;
        break;
    case json::kind::bool_:
        n.types |= kTypeBoolean;
        break;
    case json::kind::int64:
    case json::kind::uint64:
        n.types |= kTypeInteger;
        break;
    case json::kind::double_:
        n.types |= kTypeNumber;
        break;
    case json::kind::string: {
        n.types |= kTypeString;
        const json::string &s = v.get_string();
        add_string(n, std::string_view(s.data(), s.size()));
        break;
    }
    case json::kind::object:
        n.types |= kTypeObject;
        n.objects++;
        if (depth >= limits_.max_depth) {
            n.depth_capped = true;
            break;
        }
        for (const auto &m : v.get_object()) {
            SchemaNode *c = member(
                n, std::string_view(m.key().data(), m.key().size()), nullptr);
            if (c != nullptr) {
                add_value(*c, m.value(), depth + 1);
            }
        }
        break;
    case json::kind::array:
        n.types |= kTypeArray;
        n.arrays++;
        if (depth >= limits_.max_depth) {
            n.depth_capped = true;
            break;
        }
        for (const auto &e : v.get_array()) {
            if (!n.items) {
                n.items.reset(new_node());
            }
            if (n.items) {
                add_value(*n.items, e, depth + 1);
            }
        }
        break;
    }
}

void
SchemaBuilder::add(const json::value &v)
{
    if (!root_) {
        root_.reset(new_node());
    }
    if (root_) {
        add_value(*root_, v, 0);
    }
}

void
SchemaBuilder::merge_node(SchemaNode &into, const SchemaNode &from,
                          size_t depth)
{
    into.types |= from.types;
    into.values += from.values;
    if (from.secret && !into.secret) {
        into.secret = true;
        into.enum_open = true;
        into.enum_values.clear();
    }
    if (from.strings > 0) {
        into.formats =
            into.strings == 0 ? from.formats : into.formats & from.formats;
    }
    into.strings += from.strings;
    if (!into.enum_open) {
        if (from.enum_open) {
            into.enum_open = true;
            into.enum_values.clear();
        } else {
            for (const auto &e : from.enum_values) {
                auto it = std::lower_bound(into.enum_values.begin(),
                                           into.enum_values.end(), e);
                if (it == into.enum_values.end() || *it != e) {
                    if (into.enum_values.size() >= limits_.max_enum) {
                        into.enum_open = true;
                        into.enum_values.clear();
                        break;
                    }
                    into.enum_values.insert(it, e);
                }
            }
        }
    }
    into.depth_capped = into.depth_capped || from.depth_capped;
    into.properties_capped = into.properties_capped || from.properties_capped;
    into.objects += from.objects;
    for (const auto &fp : from.properties) {
        SchemaNode::Property *p = nullptr;
        for (auto &q : into.properties) {
            if (q.name == fp.name) {
                p = &q;
                break;
            }
        }
        if (p == nullptr) {
            SchemaNode *n = into.properties.size() < limits_.max_properties
                                ? new_node()
                                : nullptr;
            if (n == nullptr) {
                into.properties_capped = true;
                continue;
            }
            into.properties.push_back({fp.name, 0, 0, nullptr});
            p = &into.properties.back();
            p->schema.reset(n);
            n->secret = fp.schema && fp.schema->secret;
        }
        p->present += fp.present;
        p->last_object = into.objects;
        if (fp.schema && depth < limits_.max_depth) {
            merge_node(*p->schema, *fp.schema, depth + 1);
        }
    }
    if (from.additional) {
        if (!into.additional) {
            into.additional.reset(new_node());
        }
        if (into.additional && depth < limits_.max_depth) {
            merge_node(*into.additional, *from.additional, depth + 1);
        }
    }
    into.arrays += from.arrays;
    if (from.items) {
        if (!into.items) {
            into.items.reset(new_node());
        }
        if (into.items && depth < limits_.max_depth) {
            merge_node(*into.items, *from.items, depth + 1);
        }
    }
}

void
SchemaBuilder::merge(const SchemaBuilder &other)
{
    if (!other.root_) {
        return;
    }
    if (!root_) {
        root_.reset(new_node());
    }
    if (root_) {
        merge_node(*root_, *other.root_, 0);
    }
}

namespace {

json::value
schema_of(const SchemaNode *n)
{
    json::object out;
    if (n == nullptr || n->types == 0) {
        return out;
    }
    json::array types;
    uint8_t t = n->types;
    if ((t & kTypeInteger) && (t & kTypeNumber)) {
        t &= static_cast<uint8_t>(~kTypeInteger);
    }
    static const std::pair<uint8_t, const char *> names[] = {
        {kTypeObject, "object"}, {kTypeArray, "array"},
        {kTypeString, "string"}, {kTypeInteger, "integer"},
        {kTypeNumber, "number"}, {kTypeBoolean, "boolean"},
        {kTypeNull, "null"}};
    for (const auto &[bit, name] : names) {
        if (t & bit) {
            types.emplace_back(name);
        }
    }
    if (types.size() == 1) {
        out["type"] = types[0];
    } else {
        out["type"] = std::move(types);
    }
    if (t & kTypeString) {
        const char *format = nullptr;
        for (uint8_t bit : format_priority) {
            if (n->formats & bit) {
                format = format_name(bit);
                break;
            }
        }
        if (format != nullptr) {
            out["format"] = format;
        } else if (!n->enum_open && n->enum_values.size() >= 2
                   && (t & ~(kTypeString | kTypeNull)) == 0 && n->strings >= 5
                   && n->strings >= 2 * n->enum_values.size()) {
            /* a small closed set: few values, each seen more than once on
             * average */
            json::array e;
            for (const auto &v : n->enum_values) {
                e.emplace_back(v);
            }
            if (t & kTypeNull) {
                e.emplace_back(nullptr);
            }
            out["enum"] = std::move(e);
        }
    }
    if ((t & kTypeObject) && !n->depth_capped) {
        std::vector<const SchemaNode::Property *> props;
        for (const auto &p : n->properties) {
            props.push_back(&p);
        }
        std::sort(props.begin(), props.end(),
                  [](auto *a, auto *b) { return a->name < b->name; });
        json::object properties;
        json::array required;
        for (const auto *p : props) {
            properties[p->name] = schema_of(p->schema.get());
            if (p->present >= n->objects) {
                required.emplace_back(p->name);
            }
        }
        if (!properties.empty()) {
            out["properties"] = std::move(properties);
        }
        if (!required.empty()) {
            out["required"] = std::move(required);
        }
        if (n->additional) {
            out["additionalProperties"] = schema_of(n->additional.get());
        }
    }
    if ((t & kTypeArray) && !n->depth_capped) {
        out["items"] = schema_of(n->items.get());
    }
    return out;
}

json::value
node_to_json(const SchemaNode &n)
{
    json::object o;
    o["t"] = n.types;
    o["n"] = n.values;
    if (n.strings) {
        o["s"] = n.strings;
        o["f"] = n.formats;
        if (n.enum_open) {
            o["eo"] = true;
        } else {
            json::array e;
            for (const auto &v : n.enum_values) {
                e.emplace_back(v);
            }
            o["e"] = std::move(e);
        }
    }
    if (n.objects) {
        o["o"] = n.objects;
        json::array props;
        for (const auto &p : n.properties) {
            props.push_back(json::array{json::string(p.name), p.present,
                                        p.schema ? node_to_json(*p.schema)
                                                 : json::value()});
        }
        o["p"] = std::move(props);
        if (n.properties_capped) {
            o["pc"] = true;
        }
        if (n.additional) {
            o["ad"] = node_to_json(*n.additional);
        }
    }
    if (n.arrays) {
        o["a"] = n.arrays;
        if (n.items) {
            o["i"] = node_to_json(*n.items);
        }
    }
    if (n.depth_capped) {
        o["dc"] = true;
    }
    if (n.secret) {
        o["sec"] = true;
    }
    return o;
}

uint64_t
u64(const json::object &o, const char *k)
{
    const json::value *v = o.if_contains(k);
    if (v == nullptr || !v->is_number()) {
        return 0;
    }
    json::error_code ec;
    auto r = v->to_number<uint64_t>(ec);
    return ec ? 0 : r;
}

bool
flag(const json::object &o, const char *k)
{
    const json::value *v = o.if_contains(k);
    return v != nullptr && v->is_bool() && v->get_bool();
}

} // namespace

json::value
SchemaBuilder::to_json_schema() const
{
    return schema_of(root_.get());
}

json::value
SchemaBuilder::to_json() const
{
    if (!root_) {
        return nullptr;
    }
    return node_to_json(*root_);
}

bool
SchemaBuilder::from_json(const json::value &v)
{
    root_.reset();
    nodes_ = 0;
    if (v.is_null()) {
        return true;
    }
    /* read with the node budget and depth of this builder */
    struct Reader {
        SchemaBuilder &b;
        bool read(SchemaNode &n, const json::value &v, size_t depth)
        {
            const json::object *o = v.if_object();
            if (o == nullptr || depth > b.limits_.max_depth + 1) {
                return false;
            }
            n.types = static_cast<uint8_t>(u64(*o, "t") & 127);
            n.values = u64(*o, "n");
            n.strings = u64(*o, "s");
            n.formats = static_cast<uint8_t>(u64(*o, "f") & kFormatAll);
            n.enum_open = flag(*o, "eo");
            if (const auto *e = o->if_contains("e"); e && e->is_array()) {
                for (const auto &x : e->get_array()) {
                    if (x.is_string()
                        && n.enum_values.size() < b.limits_.max_enum) {
                        n.enum_values.emplace_back(x.get_string().data(),
                                                   x.get_string().size());
                    }
                }
                std::sort(n.enum_values.begin(), n.enum_values.end());
            }
            n.objects = u64(*o, "o");
            n.properties_capped = flag(*o, "pc");
            if (const auto *p = o->if_contains("p"); p && p->is_array()) {
                for (const auto &x : p->get_array()) {
                    const json::array *a = x.if_array();
                    if (a == nullptr || a->size() != 3
                        || !(*a)[0].is_string()) {
                        return false;
                    }
                    if (n.properties.size() >= b.limits_.max_properties) {
                        n.properties_capped = true;
                        continue;
                    }
                    SchemaNode *c = b.new_node();
                    if (c == nullptr) {
                        n.properties_capped = true;
                        continue;
                    }
                    json::error_code ec;
                    uint64_t present = (*a)[1].is_number()
                                           ? (*a)[1].to_number<uint64_t>(ec)
                                           : 0;
                    const auto &name = (*a)[0].get_string();
                    n.properties.push_back(
                        {std::string(name.data(), name.size()),
                         ec ? 0 : present, n.objects, nullptr});
                    n.properties.back().schema.reset(c);
                    if (!(*a)[2].is_null() && !read(*c, (*a)[2], depth + 1)) {
                        return false;
                    }
                }
            }
            if (const auto *ad = o->if_contains("ad"); ad) {
                n.additional.reset(b.new_node());
                if (n.additional && !read(*n.additional, *ad, depth + 1)) {
                    return false;
                }
            }
            n.arrays = u64(*o, "a");
            if (const auto *i = o->if_contains("i"); i) {
                n.items.reset(b.new_node());
                if (n.items && !read(*n.items, *i, depth + 1)) {
                    return false;
                }
            }
            n.depth_capped = flag(*o, "dc");
            n.secret = flag(*o, "sec");
            if (n.secret) {
                n.enum_open = true;
                n.enum_values.clear();
            }
            return true;
        }
    };
    root_.reset(new_node());
    Reader r{*this};
    if (!root_ || !r.read(*root_, v, 0)) {
        root_.reset();
        nodes_ = 0;
        return false;
    }
    return true;
}

} // namespace kv::analysis
