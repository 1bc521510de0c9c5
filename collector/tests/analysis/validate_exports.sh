#!/usr/bin/env bash
# Checks generated OpenAPI and HAR documents with real consumers from npm:
# @seriousme/openapi-schema-validator and har-validator, installed once
# under the build tree.  Exit 77 (skipped) when npm cannot install them.
#
#   validate_exports.sh <kv_analysis_samples binary> <build dir>
set -euo pipefail

samples=$1
npm_dir=$2/npm-validators
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -d "$npm_dir/node_modules/@seriousme/openapi-schema-validator" ] \
    || [ ! -d "$npm_dir/node_modules/har-validator" ]; then
    if ! command -v npm >/dev/null 2>&1; then
        echo "npm is missing: validators skipped"
        exit 77
    fi
    mkdir -p "$npm_dir"
    if ! npm install --prefix "$npm_dir" --no-audit --no-fund --silent \
        @seriousme/openapi-schema-validator@2.11.0 har-validator@5.1.5 \
        >"$npm_dir/install.log" 2>&1; then
        echo "npm could not install the validators (see $npm_dir/install.log): skipped"
        exit 77
    fi
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$samples" "$out"
# bare module names resolve from the script's own folder
cp "$here/validate_exports.mjs" "$npm_dir/"
node "$npm_dir/validate_exports.mjs" "$out"
