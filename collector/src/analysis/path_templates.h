/*
 * Path templates: which segments of a request path are parameters, and
 * the tree of one host's paths that turns "/users/42/orders/7" into
 * "/users/{id}/orders/{orderId}".
 *
 * A segment is a parameter when it looks like an identifier (a number, a
 * UUID, a hex or base64 identifier, a date, an e-mail address), or when
 * its position under one parent has seen more than a bounded number of
 * distinct values: from then on that position is a parameter, and what
 * was learnt under each of those values is merged into it.  That bound is
 * what keeps a path-cardinality attack ("/items/<random>") at one branch.
 *
 * Names follow the template's shape only, so the same traffic always
 * gives the same names (see template_names()).
 *
 * The tree belongs to the caller's thread (the collector's writer); no
 * locking.
 */

#ifndef KV_ANALYSIS_PATH_TEMPLATES_H
#define KV_ANALYSIS_PATH_TEMPLATES_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::analysis {

enum class SegmentKind : uint8_t {
    literal,
    integer,
    uuid,
    hex,
    base64,
    date,
    email,
    other, /* many distinct values, or a segment no template could hold */
};
using SegmentKinds = uint16_t; /* bits: 1 << SegmentKind */

inline SegmentKinds
kind_bit(SegmentKind k)
{
    return static_cast<SegmentKinds>(1u << static_cast<unsigned>(k));
}

SegmentKind classify_segment(std::string_view segment);
const char *segment_kind_name(SegmentKind k);
SegmentKinds segment_kinds_from_names(const std::vector<std::string> &names);
std::vector<std::string> segment_kind_names(SegmentKinds kinds);

/* Splits a path on '/', skipping empty segments; false when it has more
 * than max segments. */
bool split_path(std::string_view path, size_t max,
                std::vector<std::string_view> &out);

/* One position of a template: a literal, or a parameter and the kinds of
 * value seen there. */
struct TemplateSegment {
    bool param = false;
    std::string literal;
    SegmentKinds kinds = 0;
};

/*
 * Parameter names from a template's shape, left to right:
 *  - a position that has only held dates is "date", only e-mail
 *    addresses "email";
 *  - the first other parameter is "id";
 *  - a later one after a literal is that literal made singular and camel
 *    case, with "Id": "orders" gives "orderId", "line-items" "lineItemId";
 *  - otherwise "id";
 *  - a name already taken in the template gets 2, 3, ... appended.
 * A name depends only on the positions to its left, so a template and its
 * extensions agree: "/users/{id}" and "/users/{id}/orders/{orderId}".
 */
std::vector<std::string>
template_names(const std::vector<TemplateSegment> &segments);
/* "/users/{id}/orders/{orderId}", "/" for the root. */
std::string render_template(const std::vector<TemplateSegment> &segments);
/* The inverse for a rendered template: "{...}" segments are parameters
 * (their kinds unknown, 0). */
std::vector<TemplateSegment> parse_template(std::string_view tmpl);

struct TemplateLimits {
    size_t distinct_per_parent = 64; /* past this, the position is a param */
    size_t max_segments = 24;
};

/*
 * A host's paths as a tree whose nodes carry a Slot (the inventory keeps
 * its per-method endpoints there).  Slot is default-constructible and has
 * void absorb(Slot &&other), called when two branches become one.
 */
template <typename Slot>
class PathTree {
  public:
    struct Node {
        std::map<std::string, std::unique_ptr<Node>, std::less<>> literals;
        std::unique_ptr<Node> param;
        SegmentKinds kinds = 0; /* this node's, when it is a param */
        bool collapsed = false; /* every child position is a param now */
        Node *parent = nullptr;
        const std::string *label = nullptr; /* key in the parent's map */
        Slot slot;
    };

    explicit PathTree(TemplateLimits limits = {}) : limits_(limits) {}

    /* The node a path leads to, nullptr when no node exists for it. */
    Node *find(std::string_view path)
    {
        return const_cast<Node *>(
            static_cast<const PathTree &>(*this).find(path));
    }
    const Node *find(std::string_view path) const
    {
        thread_local std::vector<std::string_view> segs;
        if (!split_path(path, limits_.max_segments, segs)) {
            return nullptr;
        }
        const Node *n = &root_;
        for (std::string_view s : segs) {
            SegmentKind k = classify_segment(s);
            if (k == SegmentKind::literal && !n->collapsed) {
                auto it = n->literals.find(s);
                if (it != n->literals.end()) {
                    n = it->second.get();
                    continue;
                }
                return nullptr;
            }
            if (k == SegmentKind::literal) {
                k = SegmentKind::other;
            }
            if (!n->param || !(n->param->kinds & kind_bit(k))) {
                /* a kind never seen here would change the param's
                 * kinds: only insert() does that */
                return nullptr;
            }
            n = n->param.get();
        }
        return n;
    }

    /* The node for a path, made when missing; nullptr when the path is
     * too deep.  Sets collapsed when a position became a parameter. */
    Node *insert(std::string_view path, bool *collapsed = nullptr)
    {
        thread_local std::vector<std::string_view> segs;
        if (!split_path(path, limits_.max_segments, segs)) {
            return nullptr;
        }
        Node *n = &root_;
        for (std::string_view s : segs) {
            SegmentKind k = classify_segment(s);
            if (k == SegmentKind::literal && !n->collapsed) {
                auto it = n->literals.find(s);
                if (it != n->literals.end()) {
                    n = it->second.get();
                    continue;
                }
                if (n->literals.size() < limits_.distinct_per_parent) {
                    n = literal_child(n, std::string(s));
                    continue;
                }
                collapse(n);
                if (collapsed) {
                    *collapsed = true;
                }
            }
            n = param_child(n);
            n->kinds |=
                kind_bit(k == SegmentKind::literal ? SegmentKind::other : k);
        }
        return n;
    }

    /* The node for a template's shape, made when missing (merging another
     * tree, reading a saved one). */
    Node *insert_template(const std::vector<TemplateSegment> &segments,
                          bool *collapsed = nullptr)
    {
        Node *n = &root_;
        for (const auto &s : segments) {
            if (!s.param && !n->collapsed) {
                auto it = n->literals.find(s.literal);
                if (it != n->literals.end()) {
                    n = it->second.get();
                    continue;
                }
                if (n->literals.size() < limits_.distinct_per_parent) {
                    n = literal_child(n, s.literal);
                    continue;
                }
                collapse(n);
                if (collapsed) {
                    *collapsed = true;
                }
            }
            n = param_child(n);
            n->kinds |= s.param ? s.kinds : kind_bit(SegmentKind::other);
        }
        return n;
    }

    /* Makes a node's child position a parameter, merging every literal
     * branch into it; the merged branch may collapse in turn. */
    void collapse(Node *n)
    {
        n->collapsed = true;
        auto literals = std::move(n->literals);
        n->literals.clear();
        if (literals.empty()) {
            return;
        }
        Node *p = param_child(n);
        p->kinds |= kind_bit(SegmentKind::other);
        for (auto &entry : literals) {
            absorb(p, std::move(*entry.second));
        }
    }

    std::vector<TemplateSegment> segments_of(const Node *n) const
    {
        std::vector<TemplateSegment> out;
        for (; n != nullptr && n->parent != nullptr; n = n->parent) {
            TemplateSegment s;
            if (n->label != nullptr) {
                s.literal = *n->label;
            } else {
                s.param = true;
                s.kinds = n->kinds;
            }
            out.push_back(std::move(s));
        }
        return {out.rbegin(), out.rend()};
    }

    std::string template_of(const Node *n) const
    {
        return render_template(segments_of(n));
    }

    /* Depth first, literals in name order, then the param. */
    void visit(const std::function<void(const Node &)> &f) const
    {
        visit_node(root_, f);
    }
    void visit_mutable(const std::function<void(Node &)> &f)
    {
        visit_node_mutable(root_, f);
    }

    size_t node_count() const
    {
        size_t count = 0;
        visit([&count](const Node &) { count++; });
        return count;
    }
    Node &root() { return root_; }
    const Node &root() const { return root_; }
    const TemplateLimits &limits() const { return limits_; }

  private:
    Node *literal_child(Node *n, std::string name)
    {
        auto child = std::make_unique<Node>();
        child->parent = n;
        auto [it, ok] = n->literals.emplace(std::move(name), std::move(child));
        (void) ok;
        it->second->label = &it->first;
        return it->second.get();
    }

    Node *param_child(Node *n)
    {
        if (!n->param) {
            n->param = std::make_unique<Node>();
            n->param->parent = n;
        }
        return n->param.get();
    }

    /* Moves what src holds into dst, which takes src's place. */
    void absorb(Node *dst, Node &&src)
    {
        dst->slot.absorb(std::move(src.slot));
        dst->kinds |= src.kinds;
        if (src.collapsed && !dst->collapsed) {
            collapse(dst);
        }
        for (auto &entry : src.literals) {
            if (dst->collapsed) {
                Node *p = param_child(dst);
                p->kinds |= kind_bit(SegmentKind::other);
                absorb(p, std::move(*entry.second));
                continue;
            }
            auto it = dst->literals.find(entry.first);
            if (it != dst->literals.end()) {
                absorb(it->second.get(), std::move(*entry.second));
            } else if (dst->literals.size() < limits_.distinct_per_parent) {
                Node *c = literal_child(dst, entry.first);
                absorb(c, std::move(*entry.second));
            } else {
                collapse(dst);
                Node *p = param_child(dst);
                absorb(p, std::move(*entry.second));
            }
        }
        if (src.param) {
            Node *p = param_child(dst);
            absorb(p, std::move(*src.param));
        }
    }

    static void visit_node(const Node &n,
                           const std::function<void(const Node &)> &f)
    {
        f(n);
        for (const auto &entry : n.literals) {
            visit_node(*entry.second, f);
        }
        if (n.param) {
            visit_node(*n.param, f);
        }
    }
    static void visit_node_mutable(Node &n,
                                   const std::function<void(Node &)> &f)
    {
        f(n);
        for (auto &entry : n.literals) {
            visit_node_mutable(*entry.second, f);
        }
        if (n.param) {
            visit_node_mutable(*n.param, f);
        }
    }

    TemplateLimits limits_;
    Node root_;
};

} // namespace kv::analysis

#endif
