// The live page, made to be left open. The charts come from the history the
// server keeps (/api/history), so they are full at once and after a reload.
// After that the latest reading (/api/readings) fills the table (per core
// the value, its minimum and maximum over the shown range and the headroom
// to TjMax). Over 5 minutes it is also the charts' new sample, and the
// history is asked again only for what the page missed (a read between two
// refreshes, an outage, the time it was hidden); over longer ranges the
// page asks the history for what is new since its last sample. The
// page refreshes as often as its range can show: every interval over 5
// minutes, every 5 s over an hour (the charts every 30 s), once a minute
// over 24 hours, since each refresh costs the browser a request and a frame,
// and a redraw of the charts more. Charts are redrawn only when something
// new came and they are on screen, without animation; nothing runs while the
// page is hidden. Readings the monitor did not report
// arrive as null: "n/a", a gap in the charts. Text from the record goes in as
// text only.
"use strict";
(function () {
  const interval = 1000 * Math.max(0.1, Number(document.querySelector('meta[name="vantorix-interval"]').content) || 1);
  // The server keeps about one read per second for the last hour, every minute beyond it.
  const rawStep = interval * Math.max(1, Math.ceil(1000 / interval - 1e-9));
  const RANGES = { 300: "5 min", 3600: "1 h", 86400: "24 h" };
  const PERIODS = { 300: 0, 3600: 5000, 86400: 60000 };  // ms between refreshes, at least the interval
  // ms between redraws of the charts: over an hour 30 s is 9 pixels of 1100.
  const REDRAWS = { 300: 0, 3600: 30000, 86400: 0 };
  let drawnAt = 0;
  const MAX_CORES = 256;
  const start = document.querySelector('meta[name="vantorix-start"]').content;
  const $ = (id) => document.getElementById(id);
  const isNumber = (value) => typeof value === "number" && isFinite(value);
  const shown = (value, digits, unit) => (isNumber(value) ? value.toFixed(digits) + unit : "n/a");
  const clamp = (value, low, high) => Math.min(high, Math.max(low, Math.trunc(Number(value)) || 0));
  // Only what changed is written: the same text written again still costs a layout.
  const put = (element, text) => { if (element.textContent !== text) element.textContent = text; };
  const classed = (element, name) => { if (element.className !== name) element.className = name; };
  const hide = (element, hidden) => { if (element.hidden !== hidden) element.hidden = hidden; };

  let range = Number(location.hash.slice(1)) in RANGES ? Number(location.hash.slice(1)) : 3600;
  let aggregate = range > 3600;
  let rows = [];  // history samples in the range, oldest first

  // Time axis: ticks on whole steps of local time, as many as fit the width.
  const STEPS = [10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200].map((s) => s * 1000);
  const withSeconds = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit", second: "2-digit", hourCycle: "h23" });
  const withMinutes = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit", hourCycle: "h23" });
  function timeTicks(scale) {
    const span = scale.max - scale.min;
    const room = Math.max(2, Math.floor(scale.width / (span <= 600000 ? 72 : 52)));
    const step = STEPS.find((s) => span / s <= room) || STEPS[STEPS.length - 1];
    const offset = new Date(scale.max).getTimezoneOffset() * 60000;
    const ticks = [];
    for (let t = Math.ceil((scale.min + offset) / step) * step - offset; t <= scale.max; t += step) ticks.push({ value: t });
    scale.ticks = ticks;
  }
  const tickLabel = (value) => (range <= 600 ? withSeconds : withMinutes).format(value);

  function chart(canvas, suggestedMax) {
    return new Chart(canvas, {
      type: "line",
      data: { datasets: [] },
      options: {
        animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
        spanGaps: false,
        elements: { point: { radius: 0 }, line: { borderWidth: 1.5 } },
        interaction: { mode: "nearest", axis: "x", intersect: false },
        scales: {
          x: { type: "linear", afterBuildTicks: timeTicks, ticks: { maxRotation: 0, autoSkipPadding: 8, callback: tickLabel } },
          y: { suggestedMin: 0, suggestedMax },
        },
        plugins: {
          legend: { labels: { boxWidth: 10 } },
          decimation: { enabled: true, algorithm: "lttb", samples: 600, threshold: 1200 },  // the hour: 3600 reads
          tooltip: { callbacks: { title: (items) => (items.length ? withSeconds.format(items[0].parsed.x) : "") } },
        },
      },
    });
  }
  const charts = {
    temp: { chart: chart($("temp-chart"), 100), value: (s, core) => (s.temp || [])[core] },
    load: { chart: chart($("load-chart"), 100), value: (s, core) => (s.load || [])[core] },
    clock: { chart: chart($("clock-chart"), undefined), value: (s) => s.cpu_clock, scalar: true },
  };

  // One line per core (the clock: one line), from the rows; a gap where
  // samples are missing. Only charts on screen are drawn; one scrolled out of
  // view is drawn when it comes back, if anything changed meanwhile.
  function draw(name) {
    const entry = charts[name];
    const { chart, value, scalar } = entry;
    const cores = rows.reduce((n, s) => Math.max(n, (s.load || []).length), 0);
    const step = aggregate ? 60000 : rawStep;
    const last = rows.length ? rows[rows.length - 1].t + (aggregate ? 60000 : 0) : Date.now();
    const lines = scalar ? 1 : cores;
    const sets = chart.data.datasets;
    while (sets.length > lines) sets.pop();
    while (sets.length < lines) {
      const core = sets.length;
      sets.push({ label: scalar ? "clock" : "core " + core, data: [],
                  borderColor: `hsl(${Math.round((core * 360) / Math.max(lines, 1))}, 70%, 45%)` });
    }
    chart.options.plugins.legend.display = !scalar && lines <= 16;
    sets.forEach((set, core) => {
      const points = [];
      let before = -Infinity;
      for (const sample of rows) {
        if (before > -Infinity && sample.t - before > 2.5 * step) points.push({ x: sample.t - 1, y: null });
        const y = value(sample, core);
        points.push({ x: sample.t, y: isNumber(y) ? y : null });
        before = sample.t;
      }
      set.data = points;
    });
    chart.options.scales.x.min = last - range * 1000;
    chart.options.scales.x.max = last;
    chart.update("none");
    entry.changed = false;
  }
  const drawChanged = () => {
    if (Date.now() - drawnAt < REDRAWS[range]) return;
    drawnAt = Date.now();
    for (const name in charts) if (charts[name].changed && charts[name].seen) draw(name);
  };
  const changed = () => {
    for (const name in charts) charts[name].changed = true;
  };
  const watcher = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      const name = entry.target.dataset.chart;
      charts[name].seen = entry.isIntersecting;
      if (charts[name].seen && charts[name].changed) draw(name);
    }
  });
  for (const name in charts) {
    const canvas = charts[name].chart.canvas;
    canvas.dataset.chart = name;
    watcher.observe(canvas);
  }

  // New samples replace any the page has from the same time on; one within
  // half a step of the last is the same read, from the other request.
  function merge(samples) {
    if (!samples.length) return;
    const from = samples[0].t;
    while (rows.length && rows[rows.length - 1].t >= from) rows.pop();
    const half = (aggregate ? 60000 : rawStep) / 2;
    for (const sample of samples) {
      if (rows.length && sample.t - rows[rows.length - 1].t < half) rows.pop();
      rows.push(sample);
    }
    const cutoff = rows[rows.length - 1].t - range * 1000 - (aggregate ? 60000 : 0);
    let old = 0;
    while (old < rows.length && rows[old].t < cutoff) ++old;
    rows.splice(0, old);
    changed();
  }

  async function fetchJson(url) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), Math.max(interval, 5000));
    try {
      const response = await fetch(url, { cache: "no-store", signal: abort.signal });
      return response.ok ? await response.json() : null;
    } catch (error) {
      return null;
    } finally {
      clearTimeout(timer);
    }
  }

  // The whole range first, then what is newer than the last sample (the
  // minute in progress again, as it grows).
  async function fetchHistory() {
    const asked = range;
    let url = "/api/history?seconds=" + range;
    if (rows.length) url += "&since=" + (rows[rows.length - 1].t - (aggregate ? 1 : 0));
    const history = await fetchJson(url);
    if (history && asked === range) {
      merge(history.samples);
    }
    return history !== null;
  }

  // The latest reading as the next sample of the raw history, as the server
  // keeps it. False when the server made a read since the last sample that
  // the page did not see (the history has it).
  function append(reading) {
    const t = Date.parse(reading.timestamp);
    const last = rows.length ? rows[rows.length - 1].t : -Infinity;
    if (!isFinite(t) || t - last < rawStep - interval / 2) return true;
    if (t - last > 1.5 * rawStep) return false;
    merge([reading.ok ? { t, temp: reading.temp, load: reading.core_load, cpu_clock: reading.cpu_clock }
                      : { t, temp: [], load: [], cpu_clock: null }]);
    return true;
  }

  // Per core over the rows and the latest reading: [min, max] of the
  // temperature (null where there is none).
  function extremes(reading) {
    const cores = reading.temp.length;
    const low = new Array(cores).fill(null), high = new Array(cores).fill(null);
    const add = (core, lo, hi) => {
      if (isNumber(lo) && (low[core] === null || lo < low[core])) low[core] = lo;
      if (isNumber(hi) && (high[core] === null || hi > high[core])) high[core] = hi;
    };
    for (const sample of rows) {
      const temp = sample.temp || [], min = sample.temp_min || temp, max = sample.temp_max || temp;
      for (let core = 0; core < Math.min(cores, temp.length); ++core) add(core, min[core], max[core]);
    }
    reading.temp.forEach((value, core) => add(core, value, value));
    return [low, high];
  }

  function cell(row, id, name) {
    const td = row.insertCell();
    td.id = id;
    if (name) td.className = name;
    return td;
  }

  // The table, the hottest core, the maximum over the range and the title.
  function showCores(reading, unit) {
    const distance = reading.distance_to_tj_max;
    const scale = reading.fahrenheit ? 1.8 : 1;
    const body = $("cores").tBodies[0];
    const cores = reading.core_load.length;
    while (body.rows.length > cores) body.deleteRow(-1);
    while (body.rows.length < cores) {
      const core = body.rows.length, row = body.insertRow();
      cell(row, "core-" + core).textContent = core;
      for (const name of ["temp", "min", "max", "headroom", "load", "tjmax"]) cell(row, name + "-" + core, name);
    }
    const [low, high] = extremes(reading);
    // Hottest: the highest temperature, or in distance mode the least distance.
    const hotter = (a, b) => (distance ? a < b : a > b);
    let hottest = -1, peak = -1;
    for (let core = 0; core < cores; ++core) {
      const value = reading.temp[core];
      if (isNumber(value) && (hottest < 0 || hotter(value, reading.temp[hottest]))) hottest = core;
      const extreme = distance ? low[core] : high[core];
      if (isNumber(extreme) && (peak < 0 || hotter(extreme, distance ? low[peak] : high[peak]))) peak = core;
    }
    for (let core = 0; core < cores; ++core) {
      const temp = reading.temp[core];
      const tjMax = core < reading.tj_max.length ? reading.tj_max[core] : null;
      const headroom = distance ? temp : isNumber(tjMax) && isNumber(temp) ? tjMax - temp : null;
      put($("temp-" + core), shown(temp, 1, " " + unit));
      put($("min-" + core), shown(low[core], 1, ""));
      put($("max-" + core), shown(high[core], 1, ""));
      put($("headroom-" + core), shown(headroom, 1, ""));
      put($("load-" + core), reading.core_load[core] + " %");
      put($("tjmax-" + core), core < reading.tj_max.length ? shown(tjMax, 0, "") : "");
      const level = !isNumber(headroom) ? "" : headroom >= 20 * scale ? "cool" : headroom >= 10 * scale ? "warm" : "hot";
      classed(body.rows[core], level + (core === hottest ? " hottest" : ""));
      classed($((distance ? "min-" : "max-") + core), (distance ? "min" : "max") + (core === peak ? " peak" : ""));
      classed($((distance ? "max-" : "min-") + core), distance ? "max" : "min");
    }
    const name = reading.cpu_name || "Vantorix";
    const words = distance ? " " + unit + " below TjMax" : " " + unit;
    if (hottest >= 0) {
      put($("hottest"), reading.temp[hottest].toFixed(1) + words + ", core " + hottest);
      document.title = reading.temp[hottest].toFixed(1) + words + " \u00b7 " + name;
    } else {
      put($("hottest"), "n/a");
      document.title = name + " \u00b7 Vantorix readings";
    }
    put($("peak-label"), (distance ? "Closest to TjMax, " : "Maximum, ") + RANGES[range]);
    const extreme = peak < 0 ? null : distance ? low[peak] : high[peak];
    put($("peak"), peak < 0 ? "n/a" : extreme.toFixed(1) + words + ", core " + peak);
  }

  // The status line: what is wrong, or "live".
  function status(reading) {
    if (!reading) return ["vantorix-info is not answering", "down"];
    if (!reading.ok && !reading.monitor_running) {
      return ["monitor not running: " + start + "; waiting", "down"];
    }
    if (!reading.ok && !reading.responding) return ["monitor not responding: it holds its mutex", "down"];
    if (!reading.ok) return ["reading failed: " + reading.message + " (error " + reading.error + ")", "down"];
    if (reading.monitor_alive === false) return ["the monitor stopped; its last record is left: " + start, "down"];
    if (reading.unchanged) {
      return ["unchanged for " + Math.round(reading.unchanged_seconds) + " s: the same record at every read", "stale"];
    }
    return ["live", "ok"];
  }

  // A count as the table shows it: clamped to what the record can hold.
  function count(element, value, shownValue) {
    put(element, String(shownValue));
    const title = shownValue === value ? "" : "the record says " + value;
    if (element.title !== title) element.title = title;
  }

  function show(reading) {
    const [message, level] = status(reading);
    put($("status"), message);
    classed($("status"), "status " + level);
    classed($("readings"), reading && reading.ok && reading.monitor_alive !== false ? "" : "old");
    if (!reading || !reading.ok) {
      document.title = message.split(":")[0] + " \u00b7 Vantorix readings";
      return;
    }
    const unit = reading.fahrenheit ? "\u00b0F" : "\u00b0C";
    put($("name"), reading.cpu_name || "(no name)");
    count($("cpu_total"), reading.cpu_total, clamp(reading.cpu_total, 0, MAX_CORES));
    count($("core_total"), reading.core_total, reading.core_load.length);
    put($("cpu_clock"), shown(reading.cpu_clock, 1, " MHz"));
    put($("fsb_clock"), shown(reading.fsb_clock, 1, " MHz"));
    put($("clock_multiplier"), shown(reading.clock_multiplier, 2, ""));
    put($("vid_value"), shown(reading.vid_value, 4, " V"));
    put($("timestamp"), withSeconds.format(new Date(reading.timestamp || Date.now())));
    const distance = reading.distance_to_tj_max;
    put($("temp-title"), (distance ? "Temperature below TjMax (" : "Temperature (") + unit + ")");
    put($("temp-heading"), distance ? "Below TjMax" : "Temp");
    // Charts only for what the monitor reports.
    const cores = reading.core_load.length;
    hide($("temp-section"), !reading.temp.some(isNumber));
    hide($("load-section"), cores === 0);
    hide($("clock-section"), !isNumber(reading.cpu_clock));
    showCores(reading, unit);
  }

  function chooseRange(seconds) {
    range = seconds;
    aggregate = range > 3600;
    rows = [];
    changed();
    drawnAt = 0;
    missed = true;
    document.querySelectorAll(".range button").forEach((button) => {
      button.setAttribute("aria-pressed", String(Number(button.dataset.seconds) === range));
    });
  }

  // One refresh at a time; one asked for meanwhile follows it at once.
  let timer = null, busy = false, again = false, missed = true;
  async function refresh() {
    clearTimeout(timer);
    if (busy) {
      again = true;
      return;
    }
    if (document.hidden) return;  // resumed by visibilitychange
    busy = true;
    const reading = await fetchJson("/api/readings");
    // Refreshed once per read, the reading is the next sample; else, and for
    // what the page missed, the history since the last sample.
    const follows = !aggregate && PERIODS[range] <= interval;
    if (follows && reading && !missed && !append(reading)) missed = true;
    if (missed || !follows) missed = !(await fetchHistory());
    if (!reading) missed = true;
    show(reading);
    drawChanged();
    busy = false;
    if (again) {
      again = false;
      refresh();
    } else {
      timer = setTimeout(refresh, Math.max(interval, PERIODS[range]));
    }
  }

  document.querySelectorAll(".range button").forEach((button) => {
    button.addEventListener("click", () => {
      const seconds = Number(button.dataset.seconds);
      history.replaceState(null, "", "#" + seconds);
      chooseRange(seconds);
      refresh();
    });
  });
  document.addEventListener("visibilitychange", () => {
    missed = true;
    if (!document.hidden) refresh();
  });
  chooseRange(range);
  refresh();
})();
