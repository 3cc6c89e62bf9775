// The charts, each on a canvas of fixed size (changed only when the window is resized) with an
// overlay canvas above it for the crosshair and the hover box, so hovering never redraws a chart.
import { timeTicks, timeLabel, valueTicks, valueLabel, sizeText } from "./axes.js";
import { lookupTable, deltaColour, BID_RAMP, ASK_RAMP, LONG_RAMP, SHORT_RAMP, BUY_COLOUR, SELL_COLOUR } from "./palette.js";

export const MARGIN = { left: 64, right: 10, top: 20, bottom: 20 };
const FONT = "11px system-ui, sans-serif";
const AXIS_COLOUR = "#555";
const GRID_COLOUR = "rgba(0,0,0,0.07)";

export class Panel {
  constructor(box, title) {
    this.box = box;
    this.title = title;
    this.canvas = document.createElement("canvas");
    this.overlay = document.createElement("canvas");
    for (const c of [this.canvas, this.overlay]) { c.className = "vorn-canvas"; box.appendChild(c); }
    this.overlay.classList.add("vorn-overlay");
    this.ctx = this.canvas.getContext("2d", { alpha: false });
    this.octx = this.overlay.getContext("2d");
    this.width = 0; this.height = 0;
    this.margin = { ...MARGIN };
  }
  resize() {
    const w = Math.max(50, Math.floor(this.box.clientWidth)), h = Math.max(50, Math.floor(this.box.clientHeight));
    if (w === this.width && h === this.height) return false;
    const ratio = window.devicePixelRatio || 1;
    this.width = w; this.height = h;
    for (const [c, x] of [[this.canvas, this.ctx], [this.overlay, this.octx]]) {
      c.width = Math.round(w * ratio); c.height = Math.round(h * ratio);
      c.style.width = w + "px"; c.style.height = h + "px";
      x.setTransform(ratio, 0, 0, ratio, 0, 0);
    }
    return true;
  }
  get plot() {
    const m = this.margin;
    return { x: m.left, y: m.top, w: Math.max(1, this.width - m.left - m.right), h: Math.max(1, this.height - m.top - m.bottom) };
  }
  begin() {
    const ctx = this.ctx;
    ctx.imageSmoothingEnabled = false;
    ctx.fillStyle = "#fff";
    ctx.fillRect(0, 0, this.width, this.height);
    return ctx;
  }
  clip() { const p = this.plot; this.ctx.save(); this.ctx.beginPath(); this.ctx.rect(p.x, p.y, p.w, p.h); this.ctx.clip(); }
  unclip() { this.ctx.restore(); }
  xOf(t, view) { const p = this.plot; return p.x + (t - view.t0) / (view.t1 - view.t0) * p.w; }
  yOf(v, lo, hi) { const p = this.plot; return p.y + (hi - v) / (hi - lo) * p.h; }
  timeAt(x, view) { const p = this.plot; return view.t0 + (x - p.x) / p.w * (view.t1 - view.t0); }
  valueAt(y, lo, hi) { const p = this.plot; return hi - (y - p.y) / p.h * (hi - lo); }
  inside(x, y) { const p = this.plot; return x >= p.x && x <= p.x + p.w && y >= p.y && y <= p.y + p.h; }

  axes(view, lo, hi, label, note) {
    const ctx = this.ctx, p = this.plot;
    ctx.font = FONT; ctx.fillStyle = AXIS_COLOUR; ctx.strokeStyle = GRID_COLOUR; ctx.lineWidth = 1;
    const times = timeTicks(view.t0, view.t1, p.w);
    ctx.textAlign = "center"; ctx.textBaseline = "top";
    for (const t of times.ticks) {
      const x = Math.round(this.xOf(t, view)) + 0.5;
      ctx.beginPath(); ctx.moveTo(x, p.y); ctx.lineTo(x, p.y + p.h); ctx.stroke();
      ctx.fillText(timeLabel(t, times.step), x, p.y + p.h + 4);
    }
    if (lo !== null && hi > lo) {
      const values = valueTicks(lo, hi, p.h);
      ctx.textAlign = "right"; ctx.textBaseline = "middle";
      for (const v of values.ticks) {
        const y = Math.round(this.yOf(v, lo, hi)) + 0.5;
        ctx.beginPath(); ctx.moveTo(p.x, y); ctx.lineTo(p.x + p.w, y); ctx.stroke();
        ctx.fillText(valueLabel(v, values.step), p.x - 4, y);
      }
    }
    ctx.strokeStyle = "#999"; ctx.strokeRect(p.x + 0.5, p.y + 0.5, p.w - 1, p.h - 1);
    ctx.textAlign = "left"; ctx.textBaseline = "top"; ctx.fillStyle = "#222"; ctx.font = "bold " + FONT;
    ctx.fillText(this.title + (label ? " · " + label : ""), 4, 4);
    if (note) { ctx.font = FONT; ctx.fillStyle = "#777"; ctx.textAlign = "center"; ctx.fillText(note, p.x + p.w / 2, p.y + p.h / 2); }
  }
}

// An image of codes drawn through a lookup table: the frame's cells into one ImageData (only the
// non-empty cells are written), then one scaled draw of the part in view, smoothing off.
export class CodeImage {
  constructor(table) {
    this.table = table;
    this.canvas = document.createElement("canvas");
    this.ctx = this.canvas.getContext("2d");
    this.image = null;
  }
  // codes: row-major `rows` x `columns` (rows are times, columns prices when `transposed`, else
  // rows are prices from the bottom); cells: the indices to write (all when null).
  update(codes, cells, rows, columns, transposed) {
    const width = transposed ? rows : columns, height = transposed ? columns : rows;
    if (width === 0 || height === 0) { this.image = null; return; }
    if (!this.image || this.image.width !== width || this.image.height !== height) {
      this.canvas.width = width; this.canvas.height = height;
      this.image = this.ctx.createImageData(width, height);
      this.pixels = new Uint32Array(this.image.data.buffer);
    }
    const px = this.pixels, table = this.table;
    px.fill(table[0]);
    if (transposed) {
      const P = columns, T = rows;
      for (let k = 0; k < cells.length; k++) {
        const i = cells[k], t = (i / P) | 0, p = i - t * P;
        px[(P - 1 - p) * T + t] = table[codes[i]];
      }
    } else {
      for (let i = 0; i < codes.length; i++) {
        if (codes[i] === 0) continue;
        const r = (i / columns) | 0, c = i - r * columns;
        px[(rows - 1 - r) * columns + c] = table[codes[i]];
      }
    }
    this.ctx.putImageData(this.image, 0, 0);
  }
  // Draws the image spanning [x0, x1] x [y0, y1] in data units into the panel's view.
  draw(panel, view, x0, x1, y0, y1) {
    if (!this.image) return;
    const p = panel.plot, W = this.image.width, H = this.image.height;
    const sx = (view.t0 - x0) / (x1 - x0) * W, sw = (view.t1 - view.t0) / (x1 - x0) * W;
    const sy = (y1 - view.p1) / (y1 - y0) * H, sh = (view.p1 - view.p0) / (y1 - y0) * H;
    // The part of the source inside the image, and the same part of the destination.
    const cx0 = Math.max(0, sx), cx1 = Math.min(W, sx + sw), cy0 = Math.max(0, sy), cy1 = Math.min(H, sy + sh);
    if (cx1 <= cx0 || cy1 <= cy0) return;
    const dx = p.x + (cx0 - sx) / sw * p.w, dw = (cx1 - cx0) / sw * p.w;
    const dy = p.y + (cy0 - sy) / sh * p.h, dh = (cy1 - cy0) / sh * p.h;
    panel.ctx.imageSmoothingEnabled = false;
    panel.ctx.drawImage(this.canvas, cx0, cy0, cx1 - cx0, cy1 - cy0, dx, dy, dw, dh);
  }
}

export const HEATMAP_TABLE = lookupTable(BID_RAMP, ASK_RAMP);
export const LIQUIDATION_TABLE = lookupTable(LONG_RAMP, SHORT_RAMP);

export function drawHeatmap(panel, image, frame, view) {
  const { header: h, arrays: a } = frame;
  const ctx = panel.begin();
  const hm = h.heatmap;
  const note = hm.rows && hm.columns ? "" : "no two-sided book in the window";
  panel.clip();
  if (!note) {
    const bucket = h.settings.bucket_ms, bin = h.settings.price_bin;
    const t0 = a.hm_times[0], p0 = a.hm_prices[0];
    image.draw(panel, view, t0, t0 + hm.rows * bucket, p0, p0 + hm.columns * bin);
    for (const [values, colour, dash, width] of [[a.hm_mid, "#7b1fa2", [4, 3], 1], [a.hm_last, "#111111", [], 2]]) {
      ctx.beginPath(); ctx.strokeStyle = colour; ctx.setLineDash(dash); ctx.lineWidth = width;
      let open = false;
      for (let t = 0; t < values.length; t++) {
        const v = values[t];
        if (!(v === v)) { open = false; continue; }
        const x0 = panel.xOf(a.hm_times[t], view), x1 = panel.xOf(a.hm_times[t] + bucket, view), y = Math.round(panel.yOf(v, view.p0, view.p1));
        if (x1 < panel.plot.x || x0 > panel.plot.x + panel.plot.w) { open = false; continue; }
        if (open) ctx.lineTo(x0, y); else ctx.moveTo(x0, y);
        ctx.lineTo(x1, y); open = true;
      }
      ctx.stroke();
    }
    ctx.setLineDash([]);
  }
  panel.unclip();
  const scale = hm.rows ? `bids blue, asks orange · ${hm.transform}, white point ${sizeText(hm.vmax)}` : "";
  panel.axes(view, view.p0, view.p1, scale, note);
}

export function drawLiquidations(panel, image, frame, view) {
  const { header: h } = frame;
  const lq = h.liquidations;
  panel.begin();
  panel.clip();
  if (lq.rows) image.draw(panel, view, lq.start, lq.end, lq.low, lq.low + lq.rows * lq.row_height);
  panel.unclip();
  panel.axes(view, view.p0, view.p1, lq.events ? `${lq.events} · longs red, shorts green` : "",
    lq.events ? "" : "no liquidations in the window");
}

// The footprint: one column of cells per candle, coloured by delta, labelled "sell × buy" where
// a cell is wide and tall enough; point of control outlined, value area marked at the column's
// left edge, imbalances as small squares. A finished candle is drawn once into a bitmap and then
// copied, as long as the scale and colours stay the same.
export class Footprint {
  constructor() { this.cache = new Map(); this.cacheKey = ""; }

  candle(frame, row, first, last, width, pxPerPrice, limit) {
    const { arrays: a, header: h } = frame;
    const bin = h.footprint.price_bin;
    const lowPrice = a.fp_prices[a.fp_cols[first]], highPrice = a.fp_prices[a.fp_cols[last - 1]] + bin;
    const height = Math.max(1, Math.ceil((highPrice - lowPrice) * pxPerPrice));
    const canvas = document.createElement("canvas");
    canvas.width = Math.max(1, Math.ceil(width)); canvas.height = height;
    const ctx = canvas.getContext("2d");
    const cellH = bin * pxPerPrice, inset = width > 6 ? 1 : 0, gap = cellH > 4 ? 1 : 0;
    const va0 = a.fp_va_low[row], va1 = a.fp_va_high[row], poc = a.fp_poc[row];
    ctx.font = `${Math.min(11, Math.max(8, Math.floor(cellH - 2)))}px system-ui, sans-serif`;
    ctx.textAlign = "center"; ctx.textBaseline = "middle";
    const label = width >= 56 && cellH >= 9;
    for (let k = first; k < last; k++) {
      const price = a.fp_prices[a.fp_cols[k]], buy = a.fp_buy[k], sell = a.fp_sell[k];
      const y = (highPrice - price - bin) * pxPerPrice;
      ctx.fillStyle = deltaColour(buy - sell, limit);
      ctx.fillRect(inset + 3, y, width - 2 * inset - 3, Math.max(1, cellH - gap));
      if (price === poc) { ctx.strokeStyle = "#212121"; ctx.lineWidth = 2; ctx.strokeRect(inset + 4, y + 1, width - 2 * inset - 5, Math.max(1, cellH - gap - 2)); }
      const flags = a.fp_flags[k];
      if (flags & 1) { ctx.fillStyle = BUY_COLOUR; ctx.fillRect(width - inset - 4, y + cellH / 2 - 2, 3, 3); }
      if (flags & 2) { ctx.fillStyle = SELL_COLOUR; ctx.fillRect(inset + 4, y + cellH / 2 - 2, 3, 3); }
      if (label) { ctx.fillStyle = "#222"; ctx.fillText(`${sizeText(sell)}×${sizeText(buy)}`, width / 2 + 1, y + cellH / 2); }
    }
    if (va0 === va0) {
      ctx.fillStyle = "#f9a825";
      ctx.fillRect(inset, (highPrice - va1 - bin) * pxPerPrice, 2, (va1 + bin - va0) * pxPerPrice);
    }
    return { canvas, highPrice };
  }

  draw(panel, frame, view) {
    const { header: h, arrays: a } = frame;
    const fp = h.footprint, ctx = panel.begin();
    panel.clip();
    const bucket = fp.bucket_ms, limit = fp.delta_limit, p = panel.plot;
    const pxPerPrice = p.h / (view.p1 - view.p0);
    const width = bucket / (view.t1 - view.t0) * p.w;
    const key = `${limit}|${pxPerPrice.toPrecision(6)}|${width.toPrecision(6)}|${fp.price_bin}`;
    if (key !== this.cacheKey) { this.cache.clear(); this.cacheKey = key; }
    const seen = new Set();
    let first = 0;
    const deltas = [];
    for (let row = 0; row < fp.candles; row++) {
      let last = first;
      while (last < a.fp_rows.length && a.fp_rows[last] === row) last++;
      const start = a.fp_times[row];
      const x = panel.xOf(start, view);
      if (last > first && x + width >= p.x && x <= p.x + p.w) {
        // Finished and wholly in the window: its cells no longer change.
        const closed = start >= h.start && start + bucket <= h.end;
        let bitmap = closed ? this.cache.get(start) : null;
        if (!bitmap) {
          bitmap = this.candle(frame, row, first, last, width, pxPerPrice, limit);
          if (closed) this.cache.set(start, bitmap);
        }
        if (closed) seen.add(start);
        ctx.drawImage(bitmap.canvas, Math.round(x), Math.round(panel.yOf(bitmap.highPrice, view.p0, view.p1)));
        let delta = 0;
        for (let k = first; k < last; k++) delta += a.fp_buy[k] - a.fp_sell[k];
        deltas.push([x, delta]);
      }
      first = last;
    }
    for (const start of this.cache.keys()) if (!seen.has(start)) this.cache.delete(start);
    panel.unclip();
    panel.axes(view, view.p0, view.p1, `sell × buy per ${fp.price_bin} × ${bucket / 1000}s`,
      fp.candles ? "" : "no trades in the window");
    if (width >= 34) {
      ctx.font = "10px system-ui, sans-serif"; ctx.textAlign = "center"; ctx.textBaseline = "top";
      for (const [x, delta] of deltas) {
        ctx.fillStyle = delta < 0 ? SELL_COLOUR : BUY_COLOUR;
        ctx.fillText((delta > 0 ? "+" : "") + sizeText(delta), x + width / 2, p.y + 2);
      }
    }
  }
}

const SERIES = [["dv_price", "close", "#2c7bb6"], ["dv_funding", "funding", "#e08214"], ["dv_oi", "open interest", "#7b3294"]];

export function seriesRange(values) {
  let lo = Infinity, hi = -Infinity;
  for (const v of values) { if (v < lo) lo = v; if (v > hi) hi = v; }
  if (!(hi >= lo)) return null;
  const pad = (hi - lo) * 0.08 || Math.abs(hi) * 0.01 || 1;
  return [lo - pad, hi + pad];
}

export function drawDivergence(panel, frame, view) {
  const { header: h, arrays: a } = frame;
  const ctx = panel.begin();
  panel.clip();
  const times = a.dv_times, bucket = 60000, ranges = {};
  for (const [name, , colour] of SERIES) {
    const values = a[name], range = seriesRange(values);
    ranges[name] = range;
    if (!range) continue;
    ctx.beginPath(); ctx.strokeStyle = colour; ctx.lineWidth = 2;
    let open = false;
    for (let k = 0; k < values.length; k++) {
      const v = values[k];
      if (!(v === v)) { open = false; continue; }
      const x0 = panel.xOf(times[k], view), x1 = panel.xOf(k + 1 < times.length ? times[k + 1] : times[k] + bucket, view);
      const y = Math.round(panel.yOf(v, range[0], range[1]));  // whole pixels: a crisp line
      if (open) ctx.lineTo(x0, y); else ctx.moveTo(x0, y);
      ctx.lineTo(x1, y); open = true;
    }
    ctx.stroke();
  }
  panel.unclip();
  const price = ranges.dv_price;
  panel.axes(view, price ? price[0] : null, price ? price[1] : 0, "", h.divergence.rows ? "" : "no candles, funding or open interest in the window");
  ctx.font = FONT; ctx.textBaseline = "top"; ctx.textAlign = "left";
  let x = panel.plot.x + 190;
  for (const [name, label, colour] of SERIES) {
    const last = lastFinite(a[name]);
    const text = last === null ? `${label}: none` : `${label} ${name === "dv_funding" ? (last * 100).toFixed(4) + "%" : sizeText(last)}`;
    ctx.fillStyle = colour; ctx.fillText(text, x, 4); x += ctx.measureText(text).width + 16;
  }
  return ranges;
}

export function lastFinite(values) {
  for (let k = values.length - 1; k >= 0; k--) if (values[k] === values[k]) return values[k];
  return null;
}
