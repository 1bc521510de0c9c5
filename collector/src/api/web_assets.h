/*
 * The console's files, compiled into the binary so that it serves its
 * console from wherever it is installed.
 */

#ifndef KV_API_WEB_ASSETS_H
#define KV_API_WEB_ASSETS_H

#include <cstddef>

namespace kv {

struct WebAsset {
    const char *name;
    const char *type;
    const unsigned char *data;
    size_t size;
};

extern const WebAsset web_assets[];
extern const size_t web_assets_count;

} // namespace kv

#endif
