/*
 * Access-log module: ext_access_log_redact_header, the headers whose values
 * never leave the worker.  The builders of both log formats write the mask
 * in place of such a header's value; the header's name keeps its place, so
 * a collector still sees that the header was there.
 *
 * Read at configuration time only; the list lives in the location's
 * configuration.
 */
#include "nginx_ext_access_log_module.h"

extern "C" {

/* A fixed text: nothing of the value, not even its length, goes out. */
const ngx_str_t ngx_ext_redact_mask = ngx_string("[REDACTED]");

/*
 * ext_access_log_redact_header NAME ...;  Names add up within a level; a
 * level without the directive takes its parent's list, as nginx's own
 * array directives do.
 */
char *
ngx_ext_set_redact_header(ngx_conf_t *cf, ngx_command_t *cmd,
                          void *conf) noexcept
{
    auto *lcf = static_cast<ngx_http_response_body_loc_conf_t *>(conf);
    auto *value = static_cast<ngx_str_t *>(cf->args->elts);

    if (lcf->redact_headers == NGX_CONF_UNSET_PTR) {
        lcf->redact_headers =
            ngx_array_create(cf->pool, cf->args->nelts - 1, sizeof(ngx_str_t));
        if (lcf->redact_headers == NULL) {
            return NGX_CONF_ERROR;
        }
    }

    for (ngx_uint_t i = 1; i < cf->args->nelts; i++) {
        /* a header name is a token: no blanks, no controls, no colon */
        bool valid = value[i].len != 0;

        for (size_t k = 0; valid && k < value[i].len; k++) {
            u_char c = value[i].data[k];
            valid = c > 0x20 && c < 0x7f && c != ':';
        }

        if (!valid) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "invalid header name \"%V\" in \"%V\"",
                               &value[i], &cmd->name);
            return NGX_CONF_ERROR;
        }

        auto *name =
            static_cast<ngx_str_t *>(ngx_array_push(lcf->redact_headers));
        if (name == NULL) {
            return NGX_CONF_ERROR;
        }

        *name = value[i];
    }

    return NGX_CONF_OK;
}

} /* extern "C" */
