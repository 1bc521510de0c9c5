/*
 * JSON Schema inference: JSON values are folded one by one into a compact
 * description (types, members and how often each was present, string
 * formats, small closed sets of code-like strings, array items), which
 * gives a JSON
 * Schema (2020-12, as OpenAPI 3.1 uses it) on demand.  Two descriptions
 * merge, so collectors can combine what they learnt.  Depth, members per
 * object and nodes per schema are bounded: what does not fit is counted,
 * never grown.
 *
 * A SchemaBuilder belongs to its endpoint, on the inventory's thread.
 */

#ifndef KV_ANALYSIS_SCHEMA_H
#define KV_ANALYSIS_SCHEMA_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "analysis/detectors.h"

namespace kv::analysis {

struct SchemaLimits {
    size_t max_depth = 8;       /* deeper values are described as {} */
    size_t max_properties = 64; /* per object */
    size_t max_nodes = 512;     /* per schema */
    size_t max_enum = 8;        /* distinct strings kept for an enum */
    size_t max_enum_value = 32; /* bytes */
};

/* Bits of SchemaNode::types. */
enum SchemaType : uint8_t {
    kTypeNull = 1,
    kTypeBoolean = 2,
    kTypeInteger = 4,
    kTypeNumber = 8,
    kTypeString = 16,
    kTypeObject = 32,
    kTypeArray = 64,
};

/* Bits of SchemaNode::formats. */
enum StringFormat : uint8_t {
    kFormatDateTime = 1,
    kFormatDate = 2,
    kFormatEmail = 4,
    kFormatUuid = 8,
    kFormatUri = 16,
    kFormatIpv4 = 32,
    kFormatAll = 63,
};

uint8_t string_formats(std::string_view s);

struct SchemaNode {
    struct Property {
        std::string name;
        uint64_t present = 0; /* objects that had it */
        uint64_t last_object = 0;
        std::unique_ptr<SchemaNode> schema;
    };

    uint8_t types = 0;
    uint64_t values = 0;
    uint64_t strings = 0;
    uint8_t formats = 0;                  /* formats every string so far had */
    std::vector<std::string> enum_values; /* sorted */
    bool enum_open = false; /* not an enum: too many, or not code-like */
    bool secret = false;    /* under a secret's name: no value is kept */
    uint64_t objects = 0;
    std::vector<Property> properties; /* in order of first sight */
    bool properties_capped = false;
    /* values of members whose names are identifiers (numbers, UUIDs,
     * e-mail addresses, ...): a map, not a record; its keys are data and
     * are not kept */
    std::unique_ptr<SchemaNode> additional;
    uint64_t arrays = 0;
    std::unique_ptr<SchemaNode> items;
    bool depth_capped = false; /* values below were not described */
};

class SchemaBuilder {
  public:
    explicit SchemaBuilder(SchemaLimits limits = {});
    SchemaBuilder(SchemaBuilder &&) noexcept;
    SchemaBuilder &operator=(SchemaBuilder &&) noexcept;
    ~SchemaBuilder();

    /* Folds one JSON text in.  Returns false, changing nothing, when the
     * text is not JSON; validated says the caller has just checked that
     * (scan_json_sensitive() does, in its pass).  Members named as
     * secrets (the built-in names when secrets is null) never have their
     * values kept for an enum. */
    bool add_json(std::string_view text, bool validated = false,
                  const SecretNames *secrets = nullptr);
    void add(const boost::json::value &v);

    /*
     * Whether to fold the next body in: every one until the schema has
     * gone settle_after bodies without learning anything, then one in
     * sample_every, which still catches what appears later.  Keeps the
     * per-exchange cost of a busy endpoint down; counts of members stay
     * consistent because they are all taken over the same bodies.
     */
    bool wants_sample();
    static constexpr uint64_t settle_after = 64;
    static constexpr uint64_t sample_every = 16;
    void merge(const SchemaBuilder &other);

    bool empty() const { return !root_ || root_->values == 0; }
    uint64_t samples() const { return root_ ? root_->values : 0; }
    size_t nodes() const { return nodes_; }
    const SchemaLimits &limits() const { return limits_; }
    const SchemaNode *root() const { return root_.get(); }

    /* The JSON Schema; {} when nothing was seen. */
    boost::json::value to_json_schema() const;

    /* The whole description with its counts, for storage and merging. */
    boost::json::value to_json() const;
    bool from_json(const boost::json::value &v);

  private:
    friend struct SchemaSax;
    SchemaNode *new_node();
    void merge_node(SchemaNode &into, const SchemaNode &from, size_t depth);
    SchemaNode::Property *property(SchemaNode &obj, std::string_view name,
                                   const SecretNames *secrets = nullptr);
    /* Where a member's value goes: its property, or the map's values. */
    SchemaNode *member(SchemaNode &obj, std::string_view name,
                       const SecretNames *secrets);
    void add_string(SchemaNode &n, std::string_view s);
    void add_value(SchemaNode &n, const boost::json::value &v, size_t depth);

    SchemaLimits limits_;
    std::unique_ptr<SchemaNode> root_;
    size_t nodes_ = 0;
    uint64_t changes_ = 0;   /* what was learnt, as a counter */
    uint64_t unchanged_ = 0; /* bodies in a row that taught nothing */
    uint64_t offered_ = 0;
};

} // namespace kv::analysis

#endif
