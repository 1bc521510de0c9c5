-- wrk script of the bench's saturation runs: a POST of WRK_POST_BYTES
-- bytes (the JSON document loadgen sends) when that is set, and the
-- summary as one JSON line.
local n = tonumber(os.getenv("WRK_POST_BYTES") or "0")
if n > 0 then
    local body = '{"data":"' .. string.rep("x", n - 12) .. '"}\n'
    wrk.method = "POST"
    wrk.body = body .. string.rep(" ", n - #body)
    wrk.headers["Content-Type"] = "application/json"
end

done = function(summary, latency, requests)
    local e = summary.errors
    io.write(string.format(
        '{"requests":%d,"elapsed":%.6f,"errors":%d,"non2xx":%d,' ..
        '"p50_us":%d,"p90_us":%d,"p99_us":%d,"p999_us":%d,"max_us":%d}\n',
        summary.requests, summary.duration / 1e6,
        e.connect + e.read + e.write + e.timeout, e.status,
        latency:percentile(50), latency:percentile(90), latency:percentile(99),
        latency:percentile(99.9), latency.max))
end
