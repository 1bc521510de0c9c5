// Validates every *.openapi.json and *.har in a folder; exits 1 naming
// each document that fails and why.
import { readdirSync, readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { join } from "node:path";
import { Validator } from "@seriousme/openapi-schema-validator";

const require = createRequire(import.meta.url);
const har = require("har-validator");

const dir = process.argv[2];
let failed = 0;
let checked = 0;
for (const name of readdirSync(dir).sort()) {
    const doc = JSON.parse(readFileSync(join(dir, name), "utf8"));
    if (name.endsWith(".openapi.json")) {
        const result = await new Validator().validate(doc);
        checked++;
        if (!result.valid) {
            failed++;
            console.log(`FAIL ${name}: ${JSON.stringify(result.errors, null, 1)}`);
        } else {
            console.log(`ok ${name}`);
        }
    } else if (name.endsWith(".har")) {
        checked++;
        try {
            await har.har(doc);
            console.log(`ok ${name}`);
        } catch (e) {
            failed++;
            console.log(`FAIL ${name}: ${JSON.stringify(e.errors ?? e.message)}`);
        }
    }
}
if (checked === 0) {
    console.log("no documents to check");
    process.exit(1);
}
process.exit(failed ? 1 : 0);
