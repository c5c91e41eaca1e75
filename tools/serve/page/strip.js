// A chart that scrolls: a canvas whose columns are fixed slices of time.
// A new sample shifts what is drawn left by the columns time advanced and
// paints only those columns; the whole is drawn again only when the range,
// the size, the scale or the colours change. `paint(ctx, sample, before,
// strip)` draws one sample (and its join to the one `before`, if any) with
// strip.x(t) and strip.y(value); the grid and the time labels are drawn here.
// The span shown may be shorter than the range chosen (app.js: a new server).
"use strict";
window.Strip = (function () {
  const STEPS = [10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200].map((s) => s * 1000);
  const withSeconds = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit", second: "2-digit", hourCycle: "h23" });
  const withMinutes = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit", hourCycle: "h23" });

  class Strip {
    constructor(canvas, paint, options) {
      this.canvas = canvas;
      this.ctx = canvas.getContext("2d", { alpha: true });
      this.paint = paint;
      this.grid = options.grid !== false;  // horizontal lines at quarters
      this.labels = options.labels !== false;  // time labels under the plot
      this.low = 0;
      this.high = 100;
      this.right = 0;  // the column index (time / msPerPx) of the right edge
    }

    // The canvas's size in device pixels (at most two per CSS pixel), and
    // the time a column spans. True when it changed.
    layout(seconds) {
      const box = this.canvas.getBoundingClientRect();
      const scale = Math.min(2, window.devicePixelRatio || 1);
      const width = Math.max(1, Math.round(box.width * scale)), height = Math.max(1, Math.round(box.height * scale));
      const changed = width !== this.canvas.width || height !== this.canvas.height || seconds !== this.seconds;
      if (width !== this.canvas.width) this.canvas.width = width;
      if (height !== this.canvas.height) this.canvas.height = height;
      this.scale = scale;
      this.seconds = seconds;
      this.msPerPx = (seconds * 1000) / width;
      this.bottom = height - (this.labels ? Math.round(14 * scale) : 0);  // the plot's lowest row
      this.pad = Math.round(3 * scale);  // so a line at the top or bottom of the scale shows whole
      return changed;
    }

    x(t) { return t / this.msPerPx - (this.right - this.canvas.width); }
    y(value) {
      const span = this.bottom - 2 * this.pad;
      return this.bottom - this.pad - ((value - this.low) / (this.high - this.low)) * span;
    }

    // Everything again, from `samples` (oldest first) ending at time `end`.
    redraw(samples, end, step, colors) {
      this.colors = colors;
      this.right = Math.ceil(end / this.msPerPx);
      this.ctx.clearRect(0, 0, this.canvas.width, this.canvas.height);
      this.decorate(0, this.canvas.width);
      this.label();
      let before = null;
      for (const sample of samples) {
        if (this.x(sample.t + step) >= 0) this.paint(this.ctx, sample, before, this);
        before = sample;
      }
    }

    // One more sample, later than every other: shift, then paint its columns.
    add(sample, before, step) {
      const right = Math.ceil((sample.t + step) / this.msPerPx);
      const shift = right - this.right;
      const width = this.canvas.width, ctx = this.ctx;
      if (shift > 0) {
        if (shift < width) {
          ctx.globalCompositeOperation = "copy";
          ctx.drawImage(this.canvas, shift, 0, width - shift, this.canvas.height, 0, 0, width - shift, this.canvas.height);
          ctx.globalCompositeOperation = "source-over";
        }
        this.right = right;
        const from = Math.max(0, width - shift);
        ctx.clearRect(from, 0, width - from, this.canvas.height);
        this.decorate(from, width);
        this.label();
      }
      this.paint(ctx, sample, before, this);
    }

    // The times of the vertical lines in columns [from, to).
    *marks(from, to) {
      const span = this.seconds * 1000;
      const room = Math.max(2, Math.floor(this.canvas.width / this.scale / (span <= 600000 ? 72 : 52)));
      const step = STEPS.find((s) => span / s <= room) || STEPS[STEPS.length - 1];
      const first = (this.right - this.canvas.width + from) * this.msPerPx, last = (this.right - this.canvas.width + to) * this.msPerPx;
      const offset = new Date(last).getTimezoneOffset() * 60000;
      for (let t = Math.ceil((first + offset) / step) * step - offset; t < last; t += step) yield t;
    }

    // The grid of columns [from, to).
    decorate(from, to) {
      const ctx = this.ctx;
      ctx.fillStyle = this.colors.grid;
      if (this.grid) {
        for (let quarter = 0; quarter <= 4; ++quarter) {
          ctx.fillRect(from, Math.round(this.y(this.low + ((this.high - this.low) * quarter) / 4)), to - from, 1);
        }
      }
      for (const t of this.marks(from, to)) ctx.fillRect(Math.floor(this.x(t)), 0, 1, this.bottom);
    }

    // The time labels, each left of its line, in their own row under the
    // plot, all written again: one that would be cut at the left edge is left out.
    label() {
      if (!this.labels) return;
      const ctx = this.ctx, width = this.canvas.width;
      ctx.clearRect(0, this.bottom, width, this.canvas.height - this.bottom);
      ctx.font = Math.round(10 * this.scale) + "px system-ui, sans-serif";
      ctx.textAlign = "right";
      ctx.textBaseline = "bottom";
      ctx.fillStyle = this.colors.text;
      const format = this.seconds <= 600 ? withSeconds : withMinutes;
      for (const t of this.marks(0, width)) {
        const x = Math.floor(this.x(t)) - 2, text = format.format(t);
        if (x - ctx.measureText(text).width >= 0) ctx.fillText(text, x, this.canvas.height);
      }
    }
  }
  Strip.withSeconds = withSeconds;
  return Strip;
})();
