// The console's APIs view: the endpoint inventory as a filtered table,
// one endpoint's page (numbers, a rate and error-rate chart, schemas,
// sensitive data, drift, example exchanges) and the OpenAPI and HAR
// exports.  It adds its views to app.js's routing; the helpers it uses
// ($, api, el, row, age, statusClass) are app.js's.  As everywhere in the
// console, what came from the network is shown as text only.
"use strict";

(() => {
  const apiPaging = { offset: 0 };
  let endpointChart = null;
  let shownList = null;

  function listQuery() {
    const f = new FormData($("#api-filters"));
    const q = new URLSearchParams({
      limit: f.get("rows") || "100",
      offset: String(apiPaging.offset),
    });
    if (f.get("host")) q.set("host", f.get("host"));
    for (const k of ["shadow", "sensitive", "drift"]) {
      if (f.get(k)) q.set(k, "1");
    }
    const errors = (f.get("errors_over") || "").trim();
    if (errors) q.set("errors_over", errors);
    return q;
  }

  function ms(v) {
    return v === null || v === undefined ? "" : `${v} ms`;
  }

  function percent(rate) {
    return rate ? `${(rate * 100).toFixed(rate < 0.01 ? 2 : 1)} %` : "0";
  }

  function tags(names, cls) {
    const span = el("span");
    for (const n of names) span.appendChild(el("span", n, "tag" + (cls ? " " + cls : "")));
    return span;
  }

  function openapiUrl(host) {
    return "/api/openapi?" + new URLSearchParams({ host });
  }

  function fileName(host) {
    return (host || "api").replace(/[^A-Za-z0-9._-]+/g, "_");
  }

  function setLink(a, href, download) {
    a.classList.toggle("off", !href);
    if (href) {
      a.href = href;
      a.setAttribute("download", download);
    } else {
      a.removeAttribute("href");
    }
  }

  function fillHosts(select, hosts) {
    const chosen = select.value;
    const want = [""].concat(hosts);
    const have = [...select.options].map((o) => o.value);
    if (want.join("\n") !== have.join("\n")) {
      select.replaceChildren(...want.map((h) => {
        const o = el("option", h || "all");
        o.value = h;
        return o;
      }));
    }
    select.value = want.includes(chosen) ? chosen : "";
  }

  async function showApis() {
    let data;
    try {
      data = await api("/api/endpoints?" + listQuery());
      $("#api-filters-error").textContent = "";
    } catch (e) {
      $("#api-filters-error").textContent = e.message;
      return;
    }
    const select = $("#api-filters").host;
    fillHosts(select, data.hosts);
    const host = select.value || (data.hosts.length === 1 ? data.hosts[0] : "");
    setLink($("#export-openapi"), host ? openapiUrl(host) : null,
      `openapi-${fileName(host)}.json`);
    setLink($("#export-har"), "/api/exchanges.har?limit=500", "exchanges.har");
    const inv = data.inventory;
    $("#inventory-summary").textContent =
      `${inv.endpoints} endpoints from ${inv.exchanges} exchanges` +
      (inv.dropped_endpoint_cap ? `, ${inv.dropped_endpoint_cap} past the cap of endpoints` : "");

    const rows = Number(new FormData($("#api-filters")).get("rows") || 100);
    const end = apiPaging.offset + data.endpoints.length;
    $("#api-page-where").textContent = data.total
      ? `${apiPaging.offset + 1} to ${end} of ${data.total}` : "";
    $("#api-page-first").disabled = apiPaging.offset === 0;
    $("#api-page-back").disabled = apiPaging.offset === 0;
    $("#api-page-next").disabled = end >= data.total;
    $("#api-page-next").dataset.offset = String(apiPaging.offset + rows);

    const shown = JSON.stringify(data.endpoints);
    if (shown === shownList) return;
    shownList = shown;
    const tbody = $("#endpoints tbody");
    tbody.replaceChildren();
    for (const e of data.endpoints) {
      const lat = e.latency_ms;
      const tr = row([
        e.host, e.method, el("td", e.path, "template"),
        e.declared_only ? "never" : e.count,
        el("td", percent(e.error_rate), e.error_rate > 0 ? "status s5" : ""),
        ms(lat.p50), ms(lat.p95), ms(lat.p99),
        e.auth.join(", "),
        el("td", null), el("td", null),
        e.last_seen_ms ? age(e.last_seen_ms) : "",
      ]);
      tr.children[9].appendChild(tags(e.sensitive));
      tr.children[10].appendChild(tags(e.drift, "drift"));
      tr.className = "endpoint";
      tr.dataset.id = e.id;
      tr.addEventListener("click", () => { location.hash = `#/endpoint/${e.id}`; });
      tbody.appendChild(tr);
    }
    $("#endpoints-empty").hidden = data.endpoints.length > 0;
  }

  function pageTo(offset) {
    apiPaging.offset = Math.max(0, offset);
    shownList = null;
    showApis();
  }

  $("#api-filters").addEventListener("submit", (ev) => {
    ev.preventDefault();
    pageTo(0);
  });
  $("#api-filters").host.addEventListener("change", () => pageTo(0));
  $("#api-page-first").addEventListener("click", () => pageTo(0));
  $("#api-page-back").addEventListener("click", () => {
    const rows = Number(new FormData($("#api-filters")).get("rows") || 100);
    pageTo(apiPaging.offset - rows);
  });
  $("#api-page-next").addEventListener("click", (ev) => {
    pageTo(Number(ev.target.dataset.offset));
  });

  // One endpoint

  function fact(dl, name, value, id) {
    dl.appendChild(el("dt", name));
    const dd = el("dd", value);
    if (id) dd.id = id;
    dl.appendChild(dd);
  }

  function list(values) {
    return values && values.length ? values.join(", ") : "none";
  }

  // Minutes without traffic are zeros, so that the line does not join
  // the minutes either side of a quiet spell.
  function perMinute(series) {
    const xs = [], counts = [], rates = [];
    const n = series.minute_ms.length;
    if (n === 0) return [xs, counts, rates];
    const at = new Map(series.minute_ms.map((m, i) => [m, i]));
    for (let m = series.minute_ms[0]; m <= series.minute_ms[n - 1]; m += 60000) {
      const i = at.get(m);
      const count = i === undefined ? 0 : series.count[i];
      const errors = i === undefined ? 0 : series.client_errors[i] + series.server_errors[i];
      xs.push(m / 1000);
      counts.push(count);
      rates.push(count ? (100 * errors) / count : 0);
    }
    return [xs, counts, rates];
  }

  function drawEndpointChart(series) {
    const target = $("#endpoint-chart");
    if (endpointChart) { endpointChart.destroy(); endpointChart = null; }
    target.replaceChildren();
    const data = perMinute(series);
    if (typeof uPlot === "undefined" || data[0].length === 0) {
      target.appendChild(el("p", "No traffic in the last hour seen.", "empty"));
      return;
    }
    endpointChart = new uPlot({
      width: Math.min(1100, window.innerWidth - 60),
      height: 260,
      scales: { x: { time: true }, rate: { range: [0, 100] } },
      series: [
        {},
        { label: "requests/min", stroke: "#1f77b4", width: 2,
          value: (u, v) => v === null ? "" : String(v) },
        { label: "errors %", stroke: "#d62728", width: 2, scale: "rate",
          value: (u, v) => v === null ? "" : v.toFixed(1) + " %" },
      ],
      axes: [{}, { label: "per minute", size: 60 },
        { scale: "rate", side: 1, label: "error %", size: 60, grid: { show: false } }],
    }, data, target);
  }

  function showSchema(pre, schema) {
    if (schema === null || schema === undefined) {
      pre.textContent = "(none seen)";
      pre.classList.add("empty");
      return;
    }
    pre.classList.remove("empty");
    pre.textContent = JSON.stringify(schema, null, 2);
  }

  async function showEndpoint(id) {
    let e;
    try {
      e = await api(`/api/endpoints/${encodeURIComponent(id)}`);
    } catch (err) {
      $("#endpoint-title").textContent = err.message;
      return;
    }
    $("#endpoint-title").textContent = `${e.method} ${e.path}  (${e.host})`;
    setLink($("#endpoint-har"),
      e.declared_only ? null : "/api/exchanges.har?" + new URLSearchParams({ endpoint: e.id }),
      `${fileName(e.host)}-${e.id}.har`);
    setLink($("#endpoint-openapi"), e.declared_only ? null : openapiUrl(e.host),
      `openapi-${fileName(e.host)}.json`);

    const dl = $("#endpoint-summary");
    dl.replaceChildren();
    const lat = e.latency_ms || {};
    fact(dl, "Exchanges", e.declared_only ? "never seen" : e.count, "endpoint-count");
    if (!e.declared_only) {
      fact(dl, "First seen", new Date(e.first_seen_ms).toISOString());
      fact(dl, "Last seen", new Date(e.last_seen_ms).toISOString());
      fact(dl, "Statuses", Object.entries(e.statuses).map(([k, v]) => `${k}: ${v}`).join(", "));
      fact(dl, "Error rate", percent(e.error_rate));
      fact(dl, "Latency", lat.samples
        ? `p50 ${lat.p50} ms, p95 ${lat.p95} ms, p99 ${lat.p99} ms` : "not reported");
      fact(dl, "Path parameters", list(e.path_parameters.map((p) => `${p.name} (${p.kinds.join(", ")})`)));
      fact(dl, "Query parameters", list(e.query_parameters));
      fact(dl, "Request types", list(e.request_content_types));
      fact(dl, "Response types", list(e.response_content_types));
      fact(dl, "Authentication", list(e.auth), "endpoint-auth");
    }
    fact(dl, "Declared as", e.declared === null ? "no API declared for this host"
      : e.declared_path || "not declared (shadow)");

    const sens = $("#endpoint-sensitive");
    sens.replaceChildren();
    const kinds = (e.sensitive || []);
    if (kinds.length) {
      sens.appendChild(tags(kinds));
      const where = [];
      if ((e.request_sensitive || []).length) where.push(`requests: ${e.request_sensitive.join(", ")}`);
      if ((e.response_sensitive || []).length) where.push(`responses: ${e.response_sensitive.join(", ")}`);
      sens.appendChild(el("p", where.join("; "), "hint"));
    } else {
      sens.appendChild(el("p", "none", "empty"));
    }

    drawEndpointChart(e.series);

    const drift = $("#endpoint-drift");
    drift.replaceChildren();
    if (!e.drift.length) {
      drift.appendChild(el("p", e.declared === null ? "Nothing declared to compare with." : "none", "empty"));
    } else {
      drift.appendChild(tags(e.drift, "drift"));
      const ul = el("ul");
      for (const s of e.undeclared_statuses || []) {
        ul.appendChild(el("li", `status ${s.status} (${s.count} times) is not declared`));
      }
      for (const m of e.undeclared_members || []) {
        ul.appendChild(el("li", `${m.where}: member ${m.member} is not declared`));
      }
      drift.appendChild(ul);
    }

    const ex = $("#endpoint-examples");
    ex.replaceChildren();
    for (const xid of e.examples || []) {
      const li = el("li");
      const a = el("a", `exchange ${xid}`);
      a.href = `#/exchange/${xid}`;
      li.appendChild(a);
      ex.appendChild(li);
    }
    if (!(e.examples || []).length) {
      ex.appendChild(el("li", "none kept in the store", "empty"));
    }

    showSchema($("#endpoint-request-schema"), e.request_schema);
    const responses = $("#endpoint-response-schemas");
    responses.replaceChildren();
    const statuses = Object.keys(e.response_schemas || {});
    for (const code of statuses) {
      responses.appendChild(el("h4", `status ${code}`));
      const pre = el("pre", null, "body");
      pre.dataset.status = code;
      showSchema(pre, e.response_schemas[code]);
      responses.appendChild(pre);
    }
    if (!statuses.length) responses.appendChild(el("p", "(none seen)", "empty"));
  }

  views.apis = { show: showApis, live: true };
  views.endpoint = { show: showEndpoint, live: false, nav: "apis" };
})();
