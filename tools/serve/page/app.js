// The live page, made to be left open on any machine, from 1 core to 256.
// The charts start from the history the server keeps (/api/history), so
// they are full at once and after a reload; then the server pushes each new
// reading (/api/events, server-sent events), which is the next sample. The
// charts are canvases of our own that scroll (strip.js): a new sample paints
// only the columns it adds. Up to 8 cores each core has a line; beyond, the
// lines are the whole processor's (hottest core, mean) and the cores are a
// heat strip, a row per core, coloured by headroom to TjMax. Over 24 hours
// each minute is drawn as its minimum-maximum band with its mean. The text
// and the charts are updated at the rates of FLUSH below (docs/serving.md
// lists them), each time in one frame, since a frame is what a page left
// open costs (docs/performance.md); nothing is drawn while the page is
// hidden. Readings the monitor did not report arrive as null:
// "n/a", a gap. Text from the record goes in as text only.
"use strict";
(function () {
  const interval = 1000 * Math.max(0.1, Number(document.querySelector('meta[name="vantorix-interval"]').content) || 1);
  // The server keeps about one read per second for the last hour, every minute beyond it.
  const rawStep = interval * Math.max(1, Math.ceil(1000 / interval - 1e-9));
  const RANGES = { 300: "5 min", 3600: "1 h", 86400: "24 h" };
  const FLUSH = { 300: 2000, 3600: 5000, 86400: 10000 };  // ms between updates of what is shown
  const LINES_UP_TO = 8;  // cores drawn as lines; more are a heat strip
  const SUMMARY = 8;  // hottest cores in the summary
  const STALE = 1800;  // s: the alert VantorixRecordStale's threshold
  // ms between changes of the tab's title but for a change of state: a new
  // title costs the browser as much as a frame of the page.
  const TITLE_EVERY = 10000;
  const MAX_CORES = 256;
  const COLORS = ["#1f77b4", "#e8710a", "#2ca02c", "#d62728", "#9467bd", "#a0522d", "#d63ea8", "#0f9fb0"];
  const start = document.querySelector('meta[name="vantorix-start"]').content;
  const $ = (id) => document.getElementById(id);
  const isNumber = (value) => typeof value === "number" && isFinite(value);
  const shown = (value, digits, unit) => (isNumber(value) ? value.toFixed(digits) + unit : "n/a");
  const clamp = (value, low, high) => Math.min(high, Math.max(low, Math.trunc(Number(value)) || 0));
  // Only what changed is written: the same text written again still costs a layout.
  const put = (element, text) => { if (element.textContent !== text) element.textContent = text; };
  const classed = (element, name) => { if (element.className !== name) element.className = name; };
  const hide = (element, hidden) => { if (element.hidden !== hidden) element.hidden = hidden; };
  const hashRange = () => (Number(location.hash.slice(1)) in RANGES ? Number(location.hash.slice(1)) : 3600);

  let range = hashRange(), aggregate = range > 3600, step = aggregate ? 60000 : rawStep;
  let rows = [];  // samples in the range, oldest first
  let latest = null;  // the last reading pushed
  let cores = 0, distance = false, fahrenheit = false;

  // ---- samples ----
  // One form for a read and a minute; per sample the whole processor's
  // figures are worked out once: hottest (least distance in distance mode),
  // mean, and lowest and highest of everything read in it.
  function sample(t, s) {
    const temp = s.temp || [], load = s.load || s.core_load || [];
    const item = { t, temp, load, clock: s.cpu_clock, tlo: s.temp_min || temp, thi: s.temp_max || temp,
                   llo: s.load_min || load, lhi: s.load_max || load, clo: s.cpu_clock_min, chi: s.cpu_clock_max };
    const whole = (values, los, his, pick) => {
      let sum = 0, n = 0, hot = null, lo = null, hi = null;
      for (let core = 0; core < values.length; ++core) {
        const v = values[core];
        if (!isNumber(v)) continue;
        sum += v; ++n;
        if (hot === null || (pick ? v < hot : v > hot)) hot = v;
        if (isNumber(los[core]) && (lo === null || los[core] < lo)) lo = los[core];
        if (isNumber(his[core]) && (hi === null || his[core] > hi)) hi = his[core];
      }
      return [hot, n ? sum / n : null, lo, hi];
    };
    [item.thot, item.tmean, item.tmin, item.tmax] = whole(temp, item.tlo, item.thi, distance);
    [item.lhot, item.lmean, item.lmin, item.lmax] = whole(load, item.llo, item.lhi, false);
    return item;
  }
  const fromReading = (r) => sample(Date.parse(r.timestamp), r.ok ? r : {});

  // ---- charts ----
  const palette = [];  // headroom 0..60 degrees C, red to blue
  const STOPS = [[0, [211, 47, 47]], [10, [245, 124, 0]], [20, [192, 202, 51]], [35, [67, 160, 71]], [60, [30, 136, 229]]];
  for (let h = 0; h <= 60; ++h) {
    const i = STOPS.findIndex((s) => s[0] >= h);
    const [h1, c1] = STOPS[Math.max(0, i - 1)], [h2, c2] = STOPS[i];
    const f = h2 === h1 ? 0 : (h - h1) / (h2 - h1);
    palette.push("rgb(" + c1.map((c, k) => Math.round(c + (c2[k] - c) * f)).join(",") + ")");
  }
  let tjKnown = 100;  // for cores beyond the record's 128 TjMax: the processor's highest known
  function heatColor(s, core) {
    // The hottest of the sample: its maximum (in distance mode its minimum).
    const v = distance ? s.tlo[core] : s.thi[core];
    if (!isNumber(v)) return null;
    const tj = latest && isNumber(latest.tj_max[core]) ? latest.tj_max[core] : tjKnown;
    const headroom = (distance ? v : tj - v) / (fahrenheit ? 1.8 : 1);
    return palette[Math.max(0, Math.min(60, Math.round(headroom)))];
  }

  // Lines: per core up to LINES_UP_TO cores, else the hottest and the mean;
  // a minute's band (lowest to highest) behind them.
  function lines(kind) {
    const perCore = cores <= LINES_UP_TO;
    const own = kind === "clock" ? [["clock", (s) => s.clock]]
      : perCore ? Array.from({ length: cores }, (_, core) => ["core " + core, (s) => s[kind === "temp" ? "temp" : "load"][core]])
      : kind === "temp" ? [[distance ? "closest to TjMax" : "hottest core", (s) => s.thot], ["mean", (s) => s.tmean]]
      : [["busiest core", (s) => s.lhot], ["mean", (s) => s.lmean]];
    return own.map(([label, value], i) => ({ label, value, color: own.length === 1 ? COLORS[0] : COLORS[i % COLORS.length] }));
  }
  const band = { temp: (s) => [s.tmin, s.tmax], load: (s) => [s.lmin, s.lmax], clock: (s) => [s.clo, s.chi] };

  function linePaint(kind) {
    return (ctx, s, before, strip) => {
      const x0 = strip.x(s.t), x1 = strip.x(s.t + step);
      const joined = before && s.t - before.t <= 2.5 * step;
      if (aggregate) {
        const [lo, hi] = band[kind](s);
        if (isNumber(lo) && isNumber(hi)) {
          ctx.fillStyle = strip.colors.band;
          const top = Math.round(strip.y(hi));
          ctx.fillRect(Math.floor(x0), top, Math.max(1, Math.ceil(x1) - Math.floor(x0)), Math.max(1, Math.round(strip.y(lo)) - top));
        }
      }
      ctx.lineWidth = 1.5 * strip.scale;
      for (const line of strip.lines) {
        const v = line.value(s);
        if (!isNumber(v)) continue;
        const w = before ? line.value(before) : null;
        ctx.strokeStyle = line.color;
        ctx.beginPath();
        if (joined && isNumber(w)) ctx.moveTo(strip.x(before.t), strip.y(w));
        else ctx.moveTo(x0, strip.y(v));
        ctx.lineTo(aggregate || !joined ? Math.max(x0 + 1, x1) : x0, strip.y(v));
        if (!aggregate && joined) ctx.lineTo(x0, strip.y(v));
        ctx.stroke();
      }
    };
  }

  function heatPaint(ctx, s, before, strip) {
    const x0 = Math.floor(strip.x(s.t)), x1 = Math.max(x0 + 1, Math.ceil(strip.x(s.t + step)));
    const height = strip.canvas.height, n = Math.max(1, cores);
    ctx.clearRect(x0, 0, x1 - x0, height);
    for (let core = 0; core < n; ++core) {
      const color = heatColor(s, core);
      if (!color) continue;
      const top = Math.round((core * height) / n);
      ctx.fillStyle = color;
      ctx.fillRect(x0, top, x1 - x0, Math.round(((core + 1) * height) / n) - top);
    }
  }

  const charts = {
    temp: new Strip($("temp-chart"), linePaint("temp"), {}),
    heat: new Strip($("heat-chart"), heatPaint, { grid: false, labels: false }),
    load: new Strip($("load-chart"), linePaint("load"), {}),
    clock: new Strip($("clock-chart"), linePaint("clock"), {}),
  };

  function scaleOf(name) {
    if (name === "load") return [0, 100];
    if (name === "heat") return [0, 1];
    let high = name === "temp" ? (fahrenheit ? 212 : 100) : 0;
    for (const s of rows) {
      const v = name === "temp" ? (aggregate ? s.tmax : s.thot) : aggregate ? s.chi : s.clock;
      if (isNumber(v) && v > high) high = v;
    }
    const unit = name === "temp" ? 10 : 500;
    return [0, Math.ceil((high * (name === "clock" ? 1.1 : 1)) / unit) * unit || unit];
  }

  function legend(element, entries) {
    const key = entries.map((e) => e.label + e.color).join();
    if (element.dataset.key === key) return;
    element.dataset.key = key;
    element.textContent = "";
    for (const entry of entries) {
      const item = document.createElement("span"), swatch = document.createElement("i");
      swatch.className = entry.band ? "swatch band" : "swatch";
      if (!entry.band) swatch.style.background = entry.color;
      item.append(swatch, entry.label);
      element.append(item);
    }
  }

  // The seconds the charts span: the range, or while the samples cover less
  // of it (a new server) a quarter more than they do, so that they fill most
  // of the width; the charts widen, drawn again, once the oldest sample
  // reaches the left edge.
  let spanned = 0;
  function span() {
    if (!rows.length) return range;
    const have = (rows[rows.length - 1].t + step - rows[0].t) / 1000;
    if (have >= range) spanned = range;
    else if (!(have <= spanned && spanned <= have * 1.5 + 10)) spanned = Math.min(range, Math.max(10, Math.ceil(have * 1.25)));
    return spanned;
  }

  let stale = true;  // the charts need drawing again in full
  function redraw() {
    if (document.hidden) return;
    const style = getComputedStyle(document.documentElement);
    const colors = { grid: style.getPropertyValue("--grid").trim(), text: style.getPropertyValue("--muted").trim(),
                     band: style.getPropertyValue("--band").trim() };
    const end = rows.length ? rows[rows.length - 1].t + step : Date.now(), seconds = span();
    for (const name in charts) {
      const strip = charts[name];
      if (strip.canvas.closest("section").hidden) continue;
      strip.layout(seconds);
      [strip.low, strip.high] = scaleOf(name);
      if (name !== "heat") {
        strip.lines = lines(name);
        legend($(name + "-legend"), strip.lines.concat(aggregate ? [{ label: "minute's lowest to highest", band: true }] : []));
        const axis = $(name + "-axis").children;
        put(axis[0], String(strip.high));
        put(axis[1], String((strip.high + strip.low) / 2));
        put(axis[2], String(strip.low));
      }
      strip.redraw(rows, end, step, colors);
    }
    stale = false;
  }
  // Full redraws wait for the next frame, so several causes cost one.
  let frame = 0;
  const redrawSoon = () => { stale = true; if (!frame) frame = requestAnimationFrame(() => { frame = 0; redraw(); }); };

  function drawAdded(added) {
    if (document.hidden || stale) return;
    const seconds = span();
    added.forEach((s, i) => {
      if (stale) return;
      const before = rows[rows.length - added.length + i - 1] || null;
      for (const name in charts) {
        const strip = charts[name];
        if (strip.canvas.closest("section").hidden) continue;
        if (strip.seconds !== seconds) return redrawSoon();  // widened
        if (name !== "heat" && name !== "load") {
          const v = name === "temp" ? (aggregate ? s.tmax : s.thot) : aggregate ? s.chi : s.clock;
          if (isNumber(v) && v > strip.high) return redrawSoon();  // off the scale
        }
        strip.add(s, before, step);
      }
    });
  }

  // ---- per core: extremes over the range, kept as samples come ----
  let low = [], high = [];
  function extend(s) {
    for (let core = 0; core < s.temp.length; ++core) {
      const lo = s.tlo[core], hi = s.thi[core];
      if (isNumber(lo) && !(low[core] <= lo)) low[core] = lo;
      if (isNumber(hi) && !(high[core] >= hi)) high[core] = hi;
    }
  }
  let extremesAt = 0;
  function recount() {
    low = []; high = [];
    rows.forEach(extend);
    extremesAt = Date.now();
  }

  // New samples replace any the page has from the same time on; the ones
  // older than the range go. The samples added at the end, or null when
  // older ones changed (the charts are drawn again).
  function merge(samples) {
    if (!samples.length) return [];
    const from = samples[0].t;
    let replaced = false;
    while (rows.length && rows[rows.length - 1].t >= from) { rows.pop(); replaced = true; }
    for (const s of samples) {
      if (rows.length && s.t - rows[rows.length - 1].t < step / 2) { rows.pop(); replaced = true; }
      rows.push(s);
    }
    const cutoff = rows[rows.length - 1].t - range * 1000 - step;
    let old = 0;
    while (old < rows.length && rows[old].t < cutoff) ++old;
    rows.splice(0, old);
    if (replaced || Date.now() - extremesAt > 60000) recount();
    else samples.forEach(extend);
    return replaced ? null : samples;
  }

  async function fetchJson(url) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), Math.max(interval, 10000));
    try {
      const response = await fetch(url, { cache: "no-store", signal: abort.signal });
      return response.ok ? await response.json() : null;
    } catch (error) {
      return null;
    } finally {
      clearTimeout(timer);
    }
  }

  // The history since the last sample (all of the range at first). Over 24
  // hours the minute in progress is left out: a column is a closed minute.
  let fetching = false;
  async function fetchHistory() {
    if (fetching) return;
    fetching = true;
    const asked = range;
    let url = "/api/history?seconds=" + range;
    if (rows.length) url += "&since=" + rows[rows.length - 1].t;
    const history = await fetchJson(url);
    fetching = false;
    if (!history || asked !== range) return;
    let samples = history.samples.map((s) => sample(s.t, s));
    if (aggregate) samples = samples.filter((s) => s.t + 60000 <= Date.now());
    const added = merge(samples);
    if (added === null || rows.length === samples.length) redrawSoon(); else drawAdded(added);
    if (latest && !document.hidden) show(latest);  // the extremes over the range
  }

  // ---- text ----
  function headroomOf(reading, core) {
    const temp = reading.temp[core];
    if (distance) return temp;
    const tj = core < reading.tj_max.length && isNumber(reading.tj_max[core]) ? reading.tj_max[core] : null;
    return isNumber(tj) && isNumber(temp) ? tj - temp : null;
  }
  const level = (headroom) => {
    const scale = fahrenheit ? 1.8 : 1;
    return !isNumber(headroom) ? "" : headroom >= 20 * scale ? "cool" : headroom >= 10 * scale ? "warm" : "hot";
  };
  const hotter = (a, b) => (distance ? a < b : a > b);
  // Cores by temperature, hottest first; cores with none last.
  function byHeat(reading) {
    const order = reading.temp.map((_, core) => core).filter((core) => isNumber(reading.temp[core]));
    order.sort((a, b) => (distance ? reading.temp[a] - reading.temp[b] : reading.temp[b] - reading.temp[a]) || a - b);
    return order;
  }
  // Without temperatures (no sensor): cores by load, busiest first.
  function byLoad(reading) {
    const order = reading.core_load.map((_, core) => core);
    order.sort((a, b) => reading.core_load[b] - reading.core_load[a] || a - b);
    return order;
  }

  function row(body, index, names) {
    while (body.rows.length <= index) {
      const tr = body.insertRow();
      for (const name of names) tr.insertCell().className = name;
    }
    return body.rows[index];
  }

  function showSummary(reading, order, unit, sensed) {
    const body = $("summary").tBodies[0];
    put($("summary-title"), sensed ? "Hottest cores" : "Busiest cores");
    classed($("summary"), sensed ? "" : "no-temp");
    const count = Math.min(SUMMARY, order.length);
    while (body.rows.length > count) body.deleteRow(-1);
    for (let i = 0; i < count; ++i) {
      const core = order[i], tr = row(body, i, ["core", "temp", "headroom", "load", "max"]);
      const headroom = headroomOf(reading, core);
      put(tr.cells[0], String(core));
      put(tr.cells[1], shown(reading.temp[core], 1, " " + unit));
      put(tr.cells[2], shown(headroom, 1, ""));
      put(tr.cells[3], reading.core_load[core] + " %");
      put(tr.cells[4], shown(distance ? low[core] : high[core], 1, ""));
      classed(tr, level(headroom) + (i === 0 && sensed ? " hottest" : ""));
    }
    put($("all-label"), order.length > count ? "All " + cores + " cores (" + (cores - count) + " more)" : "All cores, with minimum, maximum and TjMax");
  }

  // The full table, in core order, only while it is open.
  function showTable(reading, unit) {
    if (!$("all").open) return;
    const body = $("cores").tBodies[0];
    while (body.rows.length > cores) body.deleteRow(-1);
    for (let core = 0; core < cores; ++core) {
      const tr = row(body, core, ["core", "temp", "min", "max", "headroom", "load", "tjmax"]);
      const headroom = headroomOf(reading, core);
      tr.id = "core-" + core;
      put(tr.cells[0], String(core));
      put(tr.cells[1], shown(reading.temp[core], 1, " " + unit));
      put(tr.cells[2], shown(low[core], 1, ""));
      put(tr.cells[3], shown(high[core], 1, ""));
      put(tr.cells[4], shown(headroom, 1, ""));
      put(tr.cells[5], reading.core_load[core] + " %");
      put(tr.cells[6], core < reading.tj_max.length ? shown(reading.tj_max[core], 0, "") : "");
      classed(tr, level(headroom));
    }
  }

  // The banner: what is wrong, or how hot, or "live"; and its level.
  function status(reading, hottest) {
    if (!reading) return ["vantorix-info is not answering", "down"];
    if (!reading.ok && !reading.monitor_running) return ["monitor not running: " + start + "; waiting", "down"];
    if (!reading.ok && !reading.responding) return ["monitor not responding: it holds its mutex", "down"];
    if (!reading.ok) return ["reading failed: " + reading.message + " (error " + reading.error + ")", "down"];
    if (reading.monitor_alive === false) return ["the monitor stopped; its last record is left: " + start, "down"];
    if (reading.unchanged || reading.unchanged_seconds >= STALE) {
      const s = Math.round(reading.unchanged_seconds);
      return ["unchanged for " + (s >= 120 ? Math.floor(s / 60) + " min" : s + " s") + ": the same record at every read" +
              (s >= STALE ? " (the RecordStale alert's 30 min are past)" : ""), "stale"];
    }
    if (hottest < 0) return ["live, without temperatures: no core temperature is reported (no sensor the monitor can read " +
                             "on this machine); load and clock only", "plain"];
    const headroom = headroomOf(reading, hottest);
    const unit = fahrenheit ? " \u00b0F" : " \u00b0C";
    const words = (what) => what + ": core " + hottest + " is " + headroom.toFixed(1) + unit + " below TjMax";
    if (level(headroom) === "hot") return [words("hot"), "hot"];
    if (level(headroom) === "warm") return [words("warm"), "warm"];
    return ["live", "ok"];
  }
  const ICONS = { ok: "/favicon.svg", plain: "/favicon.svg", warm: "/favicon-amber.svg", stale: "/favicon-amber.svg", hot: "/favicon-red.svg", down: "/favicon-red.svg" };

  function count(element, value, shownValue) {
    put(element, String(shownValue));
    const title = shownValue === value ? "" : "the record says " + value;
    if (element.title !== title) element.title = title;
  }

  let titled = { at: 0, state: "" };
  function title(text, state) {
    if (state === titled.state && Date.now() - titled.at < TITLE_EVERY) return;
    titled = { at: Date.now(), state };
    if (document.title !== text) document.title = text;
  }

  let marked = -1;
  function show(reading) {
    const ok = reading && reading.ok;
    if (ok) {
      distance = reading.distance_to_tj_max;
      fahrenheit = reading.fahrenheit;
      const known = reading.tj_max.filter(isNumber);
      tjKnown = known.length ? Math.max(...known) : 100;
      if (reading.core_load.length !== cores) {
        cores = reading.core_load.length;
        document.body.dataset.cores = cores;
        layoutHeat();
      }
    }
    const order = ok ? byHeat(reading) : [];
    const hottest = order.length ? order[0] : -1;
    const sensed = hottest >= 0;
    const [message, state] = status(reading, hottest);
    put($("status"), message);
    classed($("status"), "status " + state);
    const icon = $("icon");
    if (icon.getAttribute("href") !== ICONS[state]) icon.setAttribute("href", ICONS[state]);
    classed($("readings"), ok && reading.monitor_alive !== false ? "" : "old");
    const name = (ok && reading.cpu_name) || "Vantorix";
    const mark = state === "hot" || state === "warm" || state === "stale" ? state + " \u00b7 " : "";
    if (!ok) {
      title(message.split(":")[0] + " \u00b7 Vantorix readings", state);
      return;
    }
    const unit = fahrenheit ? "\u00b0F" : "\u00b0C";
    const words = distance ? " " + unit + " below TjMax" : " " + unit;
    put($("name"), reading.cpu_name || "(no name)");
    count($("cpu_total"), reading.cpu_total, clamp(reading.cpu_total, 0, MAX_CORES));
    count($("core_total"), reading.core_total, cores);
    put($("cpu_clock"), shown(reading.cpu_clock, 1, " MHz"));
    put($("fsb_clock"), shown(reading.fsb_clock, 1, " MHz"));
    put($("clock_multiplier"), shown(reading.clock_multiplier, 2, ""));
    put($("vid_value"), shown(reading.vid_value, 4, " V"));
    put($("timestamp"), Strip.withSeconds.format(new Date(reading.timestamp || Date.now())));
    put($("temp-title"), (distance ? "Temperature below TjMax (" : "Temperature (") + unit + ")");
    put($("temp-heading"), distance ? "Below TjMax" : "Temp");
    hide($("temp-section"), !sensed);
    hide($("heat-section"), cores <= LINES_UP_TO || !sensed);
    document.querySelectorAll(".hot-fact").forEach((fact) => hide(fact, !sensed));
    hide($("load-section"), cores === 0);
    hide($("clock-section"), !isNumber(reading.cpu_clock));
    if (hottest >= 0) {
      put($("hottest"), reading.temp[hottest].toFixed(1) + words + ", core " + hottest);
      title(mark + reading.temp[hottest].toFixed(1) + words + " \u00b7 " + name, state);
    } else {
      put($("hottest"), "n/a");
      title(mark + name + " \u00b7 Vantorix readings", state);
    }
    let peak = -1;
    for (let core = 0; core < cores; ++core) {
      const v = distance ? low[core] : high[core];
      if (isNumber(v) && (peak < 0 || hotter(v, distance ? low[peak] : high[peak]))) peak = core;
    }
    put($("peak-label"), (distance ? "Closest to TjMax, " : "Maximum, ") + RANGES[range]);
    put($("peak"), peak < 0 ? "n/a" : (distance ? low[peak] : high[peak]).toFixed(1) + words + ", core " + peak);
    if (Date.now() - extremesAt > 60000) recount();
    showSummary(reading, sensed ? order : byLoad(reading), unit, sensed);
    showTable(reading, unit);
    // The hottest core's row in the heat strip.
    if (hottest !== marked && cores > LINES_UP_TO) {
      marked = hottest;
      const mark = $("heat-mark");
      mark.style.top = ((hottest + 0.5) * 100) / cores + "%";
      put(mark, "\u25B6");
      mark.title = "hottest: core " + hottest;
      put($("heat-hottest"), "hottest: core " + hottest);
    }
  }

  // The heat strip's height: three pixels a core, between 96 and 256.
  function layoutHeat() {
    const height = Math.max(96, Math.min(256, cores * 3));
    $("heat-chart").style.height = height + "px";
    const axis = $("heat-axis");
    axis.textContent = "";
    const every = cores <= 16 ? 4 : cores <= 64 ? 16 : 64;
    for (let core = 0; core < cores; core += every) {
      const label = document.createElement("span");
      label.textContent = core;
      label.style.top = (core * 100) / cores + "%";
      axis.append(label);
    }
    marked = -1;
    redrawSoon();
  }

  // A tap or hover on the heat strip: that core's values at that time.
  function tip(event) {
    const canvas = $("heat-chart"), box = canvas.getBoundingClientRect(), strip = charts.heat;
    if (!rows.length || !cores) return;
    const core = Math.min(cores - 1, Math.max(0, Math.floor(((event.clientY - box.top) / box.height) * cores)));
    const t = (strip.right - strip.canvas.width + ((event.clientX - box.left) / box.width) * strip.canvas.width) * strip.msPerPx;
    let lo = 0, hi = rows.length - 1;
    while (lo < hi) { const mid = (lo + hi + 1) >> 1; if (rows[mid].t <= t) lo = mid; else hi = mid - 1; }
    const s = rows[lo], unit = fahrenheit ? " \u00b0C".replace("C", "F") : " \u00b0C";
    const at = Strip.withSeconds.format(new Date(s.t));
    const text = aggregate
      ? "core " + core + ", minute of " + at + ": " + shown(s.tlo[core], 1, "") + " / " + shown(s.temp[core], 1, "") + " / " + shown(s.thi[core], 1, unit) + " (min / mean / max), load " + shown(s.load[core], 0, " %")
      : "core " + core + ", " + at + ": " + shown(s.temp[core], 1, unit) + ", load " + shown(s.load[core], 0, " %");
    const box2 = $("tip");
    put(box2, text);
    box2.hidden = false;
    box2.style.top = event.clientY - box.top + 12 + "px";
    box2.style.left = Math.min(box.width - 200, Math.max(0, event.clientX - box.left - 100)) + "px";
  }
  $("heat-chart").addEventListener("mousemove", tip);
  $("heat-chart").addEventListener("click", tip);
  $("heat-chart").addEventListener("mouseleave", () => { $("tip").hidden = true; });

  // ---- the pushed readings ----
  let pending = [], flushTimer = 0, flushedAt = 0, missed = true;
  function flush() {
    flushTimer = 0;
    flushedAt = Date.now();
    const samples = pending;
    pending = [];
    if (!aggregate) {
      for (const s of samples) {
        const last = rows.length ? rows[rows.length - 1].t : -Infinity;
        if (!isFinite(s.t) || s.t - last < rawStep - interval / 2) continue;
        if (missed || s.t - last > 1.5 * rawStep) { missed = false; fetchHistory(); break; }
        const added = merge([s]);
        if (added === null) redrawSoon(); else drawAdded(added);
      }
    } else if (latest && rows.length && Date.parse(latest.timestamp) >= rows[rows.length - 1].t + 120000) {
      fetchHistory();  // a minute closed since the last one shown
    }
    if (!document.hidden) show(latest);
  }

  function received(reading) {
    latest = reading;
    if (isFinite(Date.parse(reading.timestamp))) pending.push(fromReading(reading));
    clearTimeout(watchdog);
    watchdog = setTimeout(() => { latest = null; missed = true; show(null); }, Math.max(5000, 3 * interval));
    if (flushTimer) return;
    const wait = FLUSH[range] - (Date.now() - flushedAt);
    if (wait <= 0) flush(); else flushTimer = setTimeout(flush, wait);
  }
  let watchdog = setTimeout(() => show(null), Math.max(5000, 3 * interval));
  const events = new EventSource("/api/events");
  events.onmessage = (event) => {
    try {
      received(JSON.parse(event.data));
    } catch (error) {
      // not a reading: ignored
    }
  };

  function chooseRange(seconds) {
    range = seconds;
    aggregate = range > 3600;
    step = aggregate ? 60000 : rawStep;
    rows = [];
    recount();
    missed = true;
    document.querySelectorAll(".range button").forEach((button) => {
      button.setAttribute("aria-pressed", String(Number(button.dataset.seconds) === range));
    });
    redrawSoon();
    fetchHistory();
  }

  document.querySelectorAll(".range button").forEach((button) => {
    button.addEventListener("click", () => { location.hash = "#" + button.dataset.seconds; });
  });
  window.addEventListener("hashchange", () => { if (hashRange() !== range) chooseRange(hashRange()); });
  document.addEventListener("visibilitychange", () => {
    if (document.hidden) return;
    redrawSoon();
    if (latest) show(latest);
  });
  const resized = new ResizeObserver(redrawSoon);
  for (const name in charts) resized.observe(charts[name].canvas);
  matchMedia("(prefers-color-scheme: dark)").addEventListener("change", redrawSoon);
  chooseRange(range);
})();
