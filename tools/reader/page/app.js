// The live page: asks /api/readings once per interval and shows the latest
// reading, with each core's temperature and load over the last five
// minutes. Readings the monitor did not report arrive as null and are shown
// as "n/a" (a gap in the charts). Text from the record goes in as text only.
"use strict";
(function () {
  const interval = 1000 * Math.max(0.1, Number(document.querySelector('meta[name="vantorix-interval"]').content) || 1);
  const points = Math.ceil(300000 / interval);
  const start = document.querySelector('meta[name="vantorix-start"]').content;
  const $ = (id) => document.getElementById(id);
  const shown = (value, digits, unit) => (typeof value === "number" ? value.toFixed(digits) + unit : "n/a");

  function chart(canvas, max) {
    return new Chart(canvas, {
      type: "line",
      data: { labels: [], datasets: [] },
      options: {
        animation: false, responsive: true, maintainAspectRatio: false, spanGaps: false,
        elements: { point: { radius: 0 }, line: { borderWidth: 1.5 } },
        interaction: { mode: "index", intersect: false },
        scales: { x: { ticks: { maxTicksLimit: 6, maxRotation: 0 } }, y: { suggestedMin: 0, suggestedMax: max } },
        plugins: { legend: { labels: { boxWidth: 10 } } },
      },
    });
  }
  const temperatures = chart($("temp-chart"), 100);
  const loads = chart($("load-chart"), 100);

  // One point per core at `label` (null: no reading), the oldest dropped.
  function plot(target, label, values) {
    const data = target.data;
    if (data.datasets.length !== values.length) {
      data.datasets = values.map((_, core) => ({
        label: "core " + core, data: data.labels.map(() => null),
        borderColor: `hsl(${Math.round((core * 360) / values.length)}, 70%, 45%)`,
      }));
      target.options.plugins.legend.display = values.length <= 16;
    }
    data.labels.push(label);
    data.datasets.forEach((set, core) => set.data.push(typeof values[core] === "number" ? values[core] : null));
    if (data.labels.length > points) {
      data.labels.shift();
      data.datasets.forEach((set) => set.data.shift());
    }
    target.update("none");
  }

  function cell(row, id) {
    const td = row.insertCell();
    td.id = id;
    return td;
  }

  function showCores(reading, unit) {
    const body = $("cores").tBodies[0];
    const cores = reading.core_load.length;
    while (body.rows.length > cores) body.deleteRow(-1);
    while (body.rows.length < cores) {
      const core = body.rows.length, row = body.insertRow();
      cell(row, "core-" + core).textContent = core;
      cell(row, "temp-" + core);
      cell(row, "load-" + core);
      cell(row, "tjmax-" + core);
    }
    for (let core = 0; core < cores; ++core) {
      $("temp-" + core).textContent = shown(reading.temp[core], 1, " " + unit);
      $("load-" + core).textContent = reading.core_load[core] + " %";
      $("tjmax-" + core).textContent = core < reading.tj_max.length ? shown(reading.tj_max[core], 0, "") : "";
    }
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

  function show(reading) {
    const [message, level] = status(reading);
    $("status").textContent = message;
    $("status").className = "status " + level;
    $("readings").className = reading && reading.ok && reading.monitor_alive !== false ? "" : "old";
    const time = new Date(reading && reading.timestamp ? reading.timestamp : Date.now()).toLocaleTimeString();
    if (!reading || !reading.ok) {
      const gap = temperatures.data.datasets.map(() => null);
      plot(temperatures, time, gap);
      plot(loads, time, gap);
      return;
    }
    const unit = reading.fahrenheit ? "°F" : "°C";
    $("name").textContent = reading.cpu_name || "(no name)";
    document.title = (reading.cpu_name || "Vantorix") + " - Vantorix readings";
    $("cpu_total").textContent = reading.cpu_total;
    $("core_total").textContent = reading.core_total;
    $("cpu_clock").textContent = shown(reading.cpu_clock, 1, " MHz");
    $("fsb_clock").textContent = shown(reading.fsb_clock, 1, " MHz");
    $("clock_multiplier").textContent = shown(reading.clock_multiplier, 2, "");
    $("vid_value").textContent = shown(reading.vid_value, 4, " V");
    $("timestamp").textContent = time;
    const title = reading.distance_to_tj_max ? "Temperature below TjMax (" + unit + ")" : "Temperature (" + unit + ")";
    const none = reading.temp.every((value) => value === null);
    $("temp-title").textContent = title + (none && reading.temp.length ? ": not reported by the monitor" : "");
    $("temp-heading").textContent = reading.distance_to_tj_max ? "Below TjMax" : "Temp";
    showCores(reading, unit);
    plot(temperatures, time, reading.temp);
    plot(loads, time, reading.core_load);
  }

  async function refresh() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), Math.max(interval, 5000));
    let reading = null;
    try {
      const response = await fetch("/api/readings", { cache: "no-store", signal: abort.signal });
      if (response.ok) reading = await response.json();
    } catch (error) {
      reading = null;
    }
    clearTimeout(timer);
    show(reading);
    setTimeout(refresh, interval);
  }
  refresh();
})();
