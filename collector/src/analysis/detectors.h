/*
 * Recognisers for sensitive values: card numbers (with the Luhn check),
 * IBANs (mod 97), e-mail addresses, JWTs, PEM private keys, phone numbers,
 * and the member names whose values are secrets.  Redaction uses the card
 * finder and the secret names; the inventory uses all of them to name the
 * kinds of data an endpoint carries.  Nothing here keeps a value.
 *
 * Pure functions and immutable tables; any thread.
 */

#ifndef KV_ANALYSIS_DETECTORS_H
#define KV_ANALYSIS_DETECTORS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::analysis {

/* Kinds of sensitive data, as bits of a SensitiveSet. */
enum SensitiveType : uint32_t {
    kSensitiveEmail = 1u << 0,
    kSensitiveCard = 1u << 1,
    kSensitiveJwt = 1u << 2,
    kSensitivePrivateKey = 1u << 3,
    kSensitiveIban = 1u << 4,
    kSensitivePhone = 1u << 5,
    kSensitiveSecret = 1u << 6, /* a value under a secret's member name */
};
using SensitiveSet = uint32_t;
constexpr int kSensitiveTypeCount = 7;

/* "email", "card", "jwt", "private_key", "iban", "phone", "secret". */
std::vector<std::string> sensitive_type_names(SensitiveSet set);
/* The inverse; unknown names are ignored. */
SensitiveSet sensitive_set_from_names(const std::vector<std::string> &names);

/* The Luhn checksum over the digits of s (other characters skipped). */
bool luhn_valid(std::string_view s);

/*
 * The next card number in text at or after from: 13 to 19 digits, either
 * contiguous or in groups split by single spaces or hyphens, that stand
 * alone (no letter, digit or decimal point against them), start like an
 * issuer's number and pass the Luhn check.  The issuer prefixes keep
 * millisecond timestamps and other long counters, which start with 1,
 * from being taken for cards.  Returns false when there is none.
 */
bool find_card_number(std::string_view text, size_t from, size_t &begin,
                      size_t &end);

/* A whole value that is one card number (digits as text or a number). */
bool is_card_number(std::string_view value);
/* A whole value that is an IBAN, spaces allowed, with a valid mod 97. */
bool is_iban(std::string_view value);
bool is_email(std::string_view value);
bool is_jwt(std::string_view value);
/* A value of 7 to 15 digits with the usual separators, '+' optional; only
 * meaningful under a member name that says it is a phone number. */
bool is_phone_value(std::string_view value);
bool is_phone_key(std::string_view name);

/* Formats of string values, shared by path templates and schemas. */
bool is_uuid(std::string_view value);
bool is_date(std::string_view value);      /* 2024-01-31 */
bool is_date_time(std::string_view value); /* RFC 3339 */
bool is_ipv4(std::string_view value);
bool is_uri(std::string_view value); /* absolute, "scheme://..." */

/* Every kind found in free text: bodies that are not JSON, string values,
 * query values.  One pass; stops looking for a kind once found. */
SensitiveSet scan_text(std::string_view text);

class SecretNames;

/* Every kind found in a JSON text: values as scan_text() sees them, card
 * numbers written as numbers, secret member names, phone numbers under
 * phone member names.  Sets complete to whether the text is one valid
 * JSON text (a cut one is scanned as far as it goes). */
SensitiveSet scan_json_sensitive(std::string_view json,
                                 const SecretNames &secrets, bool &complete);

/*
 * Member names whose values are secrets: the built-in ones and those the
 * operator adds.  Matching ignores case, '-' and '_', so "accessToken",
 * "Access-Token" and "access_token" are one name.
 */
class SecretNames {
  public:
    explicit SecretNames(const std::vector<std::string> &extra = {});
    bool matches(std::string_view name) const;

  private:
    std::vector<std::string> names_; /* folded */
    size_t min_ = 0, max_ = 0;
    std::vector<uint16_t> leads_; /* their first two characters */
};

} // namespace kv::analysis

#endif
