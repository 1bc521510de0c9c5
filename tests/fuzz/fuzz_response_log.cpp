/*
 * The response log builder, fed arbitrary request fields (request_fields.h)
 * with buffers near the size of the message.
 *
 * Beyond "no crash", every message handed over:
 * - has only header lines the fields produced: the request line, the
 *   sensor's own lines (each at most once, unless a response header of
 *   that name was copied), and copies of the response headers, name and
 *   value encoded, where the name a collector reads (up to the first
 *   colon) is the whole name that came in;
 * - has no byte in a line that a header parser would take for a line
 *   end, a fold or a control (CR, LF, NUL, other controls but TAB, DEL),
 *   and no line that starts with a blank (a fold into the line before);
 * - ends its head exactly once: after the first empty line come exactly
 *   the Content-Length bytes (the captured body), or, without a
 *   Content-Length, only the CR LF the bodiless form ends with.
 */
#include "request_fields.h"

#include <cctype>
#include <map>
#include <set>
#include <string>

namespace {

/* the lines the builder writes itself */
const std::set<std::string> sensor_names = {
    "Host",
    "Content-Type",
    "Connection",
    "X-Status",
    "X-Request-Id",
    "X-Req-Time",
    "X-Resp-Time",
    "X-Client-Addr",
    "X-Req-Uri",
    "X-Req-Host",
    "X-Req-Content-Len",
    "X-Req-Content-Type",
    "X-Args",
    "X-Method",
    "X-Kv-Sensor-Hostname",
    "X-Kv-Sensor-Instance",
    "X-Kv-Sensor-Logging-Level",
    "X-Resp-Content-Len",
    "X-Orig-Length",
    "Content-Length",
    "X-Kv-Resp-Truncated-Body",
};

std::string
lower(std::string s)
{
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

void
check(kvfuzz::fake_request &req, const kvfuzz::posted_message &m)
{
    const std::string &msg = m.bytes;

    KV_REQUIRE(m.type == ACCESS_LOG);

    size_t head_end = msg.find("\r\n\r\n");
    KV_REQUIRE(head_end != std::string::npos, msg);

    std::string head = msg.substr(0, head_end + 2);
    std::string rest = msg.substr(head_end + 4);

    /* the copies the response headers may give: name read, whole line */
    std::set<std::pair<std::string, std::string>> copies;
    std::set<std::string> copied_names;
    for (const kvfuzz::header_field &h : req.out_headers) {
        std::string name = kvfuzz::line_encoded(h.key, true);
        copies.insert({name, name + ":" + kvfuzz::line_encoded(h.value)});
        copied_names.insert(lower(name));
    }

    /* the sensor's lines that carry a field as it came */
    std::map<std::string, std::string> fields;
    if (req.id_found) {
        fields["X-Req-Uri"] = kvfuzz::line_encoded(req.uri);
        fields["X-Args"] = kvfuzz::line_encoded(req.args);
        fields["X-Method"] = kvfuzz::line_encoded(req.method);
    }

    std::map<std::string, int> seen;
    std::string content_length;
    size_t pos = 0;
    bool first = true;

    while (pos < head.size()) {
        size_t eol = head.find("\r\n", pos);
        KV_REQUIRE(eol != std::string::npos, head);
        std::string line = head.substr(pos, eol - pos);
        pos = eol + 2;

        KV_REQUIRE(!line.empty(), head);
        for (unsigned char c : line) {
            KV_REQUIRE(!((c < 0x20 && c != '\t') || c == 0x7f),
                       "raw control byte in line: " + line);
        }
        KV_REQUIRE(line[0] != ' ' && line[0] != '\t',
                   "line folds into the one before: " + line);

        if (first) {
            first = false;
            KV_REQUIRE(line.compare(0, 5, "POST ") == 0, line);
            KV_REQUIRE(line.size() > 14
                           && line.compare(line.size() - 9, 9, " HTTP/1.1")
                                  == 0,
                       line);
            continue;
        }

        size_t colon = line.find(':');
        KV_REQUIRE(colon != std::string::npos, "line without a name: " + line);
        std::string name = line.substr(0, colon);

        bool copy = copies.count({name, line}) != 0;

        if (copy) {
            /* a parser that trims blanks around the name must read it */
            KV_REQUIRE(name.find_first_of(" \t") == std::string::npos,
                       "a blank in a copied name: " + line);
            continue;
        }

        if (sensor_names.count(name) == 0) {
            kvfuzz::fail("a line the fields did not produce", line);
        }

        seen[name]++;
        KV_REQUIRE(seen[name] == 1 || copied_names.count(lower(name)) != 0
                       || name == "Content-Type",
                   "sensor line twice: " + line);

        auto field = fields.find(name);
        if (field != fields.end() && copied_names.count(lower(name)) == 0) {
            KV_REQUIRE(line.substr(colon + 1) == field->second,
                       "field changed on its way: " + line);
        }

        if (name == "Content-Length") {
            content_length = line.substr(colon + 1);
        }
    }

    /* the message is measured whole: a field that is there has its line */
    for (const auto &f : fields) {
        if (!f.second.empty() && copied_names.count(lower(f.first)) == 0) {
            KV_REQUIRE(seen[f.first] == 1, "no line for " + f.first);
        }
    }

    if (content_length.empty()) {
        KV_REQUIRE(rest == "\r\n", "bodiless message ends with more");
        return;
    }

    KV_REQUIRE(content_length.size() > 1 && content_length[0] == ' '
                   && content_length.find_first_not_of("0123456789", 1)
                          == std::string::npos,
               content_length);
    size_t n = std::stoull(content_length.substr(1));
    KV_REQUIRE(rest.size() == n, "body is not Content-Length long");
    KV_REQUIRE(n == 0 || rest == req.response_body, "body is not the capture");
}

} /* namespace */

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    kvfuzz::init_process();
    kvfuzz::init_builders();
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    kvfuzz::fake_request req(in, false);

    static ngx_str_t endpoint = ngx_string("http://127.0.0.1:9000");

    kvfuzz::build_near_limits(
        req, in,
        [](kvfuzz::fake_request &q) {
            return ngx_ext_send_http_response_log(&q.r, &endpoint, q.mode,
                                                  &q.conf);
        },
        check);

    return 0;
}
