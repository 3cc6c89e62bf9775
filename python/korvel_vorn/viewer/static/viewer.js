// The replay page: controls, four charts on canvases, the request loop and hover. `mount` builds it
// in an element and talks through a transport: a WebSocket to the server (`socketTransport`) or a
// notebook widget's model (the widget's module calls `mount` the same way).
import { liquidationVenue, venueLines, venueSwitches } from "./venues.js";
import { readFrame, findSorted, floorSorted } from "./frame.js";
import { clockText, sizeText, priceText } from "./axes.js";
import { Panel, CodeImage, Footprint, HEATMAP_TABLE, LIQUIDATION_TABLE, drawHeatmap, drawLiquidations, drawDivergence, seriesRange } from "./panels.js";

const STYLE = `
.vorn { display: flex; flex-direction: column; box-sizing: border-box; width: 100%; height: 100%; overflow: hidden;
  font: 12px system-ui, sans-serif; color: #222; background: #fafafa; }
.vorn * { box-sizing: border-box; }
.vorn-bar { display: flex; flex-wrap: wrap; align-items: center; gap: 4px 10px; padding: 4px 8px; flex: none; }
.vorn-clock { width: 250px; height: 22px; flex: none; }
.vorn-status { flex: 1 1 200px; height: 1.4em; overflow: hidden; white-space: nowrap; text-overflow: ellipsis; color: #b71c1c; min-width: 0; }
.vorn-bar label { display: inline-flex; align-items: center; gap: 3px; white-space: nowrap; }
.vorn-bar select, .vorn-bar input[type=number] { font: inherit; }
.vorn-bar input[type=number] { width: 5.5em; }
.vorn-slider { flex: none; width: calc(100% - 16px); margin: 0 8px; }
.vorn-charts { flex: 1 1 auto; min-height: 0; display: grid; gap: 4px; padding: 4px 8px 8px;
  grid-template-columns: 34fr 46fr 20fr; grid-template-rows: 72fr 28fr; }
.vorn-panel { position: relative; min-width: 0; min-height: 0; overflow: hidden; background: #fff; border: 1px solid #ddd; }
.vorn-panel.wide { grid-column: 1 / 4; }
.vorn-canvas { position: absolute; left: 0; top: 0; }
.vorn-overlay { cursor: crosshair; }
`;

const SPEEDS = [1, 2, 5, 10, 30, 60, 100, 300, 1000];
const STEPS = { "1s": 1000, "10s": 10000, "1m": 60000, "5m": 300000 };
const STATUS_MS = 250;  // text on the page changes at most four times a second
const IN_FLIGHT = 2;
const LIVE_POLL_MS = 250;
const LIVE_AHEAD_MS = 3600000;

function duration(ms) {
  if (ms % 3600000 === 0) return ms / 3600000 + "h";
  if (ms % 60000 === 0) return ms / 60000 + "m";
  if (ms % 1000 === 0) return ms / 1000 + "s";
  return ms + "ms";
}

function element(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes || {})) node.setAttribute(k, v);
  for (const child of children) node.append(child);
  return node;
}

function choice(name, title, values, label) {
  const select = element("select", { name, title });
  for (const v of values) select.append(element("option", { value: String(v) }, label ? label(v) : String(v)));
  return select;
}

export function socketTransport(url) {
  const handlers = { message: () => {}, status: () => {} };
  let socket = null, closed = false;
  function open() {
    socket = new WebSocket(url);
    socket.binaryType = "arraybuffer";
    socket.onmessage = (event) => handlers.message(typeof event.data === "string" ? JSON.parse(event.data) : event.data);
    socket.onopen = () => handlers.status(null);
    socket.onclose = () => {
      if (closed) return;
      handlers.status("connection to the viewer lost; reconnecting…");
      setTimeout(open, 2000);
    };
  }
  open();
  return {
    send(message) { if (socket && socket.readyState === 1) { socket.send(JSON.stringify(message)); return true; } return false; },
    onMessage(fn) { handlers.message = fn; },
    onStatus(fn) { handlers.status = fn; },
    close() { closed = true; socket.close(); },
  };
}

export function mount(root, transport, options = {}) {
  const style = element("style"); style.textContent = STYLE;
  // The clock is drawn on a canvas: text changing every frame would make the page lay out again.
  const clock = element("canvas", { class: "vorn-clock", id: "vorn-clock", role: "timer" });
  const clockCtx = clock.getContext("2d");
  function drawClock(text) {
    const ratio = window.devicePixelRatio || 1;
    if (clock.width !== Math.round(250 * ratio)) { clock.width = Math.round(250 * ratio); clock.height = Math.round(22 * ratio); }
    clockCtx.setTransform(ratio, 0, 0, ratio, 0, 0);
    clockCtx.clearRect(0, 0, 250, 22);
    clockCtx.font = "bold 14px ui-monospace, monospace"; clockCtx.fillStyle = "#222"; clockCtx.textBaseline = "middle";
    clockCtx.fillText(text, 2, 11);
  }
  drawClock("loading…");
  const status = element("span", { class: "vorn-status", id: "vorn-status" });
  const play = element("button", { name: "play", title: "play / pause (space)" }, "▶ play");
  const back = element("button", { name: "step_back", title: "step back (←)" }, "◀");
  const forward = element("button", { name: "step_forward", title: "step forward (→)" }, "▶");
  const speed = choice("speed", "speed, x market time (+/-)", SPEEDS, (v) => v + "×");
  const step = choice("step", "step", Object.keys(STEPS));
  const windowSel = choice("window", "window before the cursor", [], null);
  const bucket = choice("bucket", "heatmap bucket", [], null);
  const candle = choice("candle", "footprint candle", [], null);
  const bin = element("input", { type: "number", name: "price_bin", min: "0", step: "any", title: "price bin" });
  const depth = element("input", { type: "number", name: "depth", min: "1", step: "1", title: "book depth levels" });
  const scale = choice("scale", "heatmap colour scale", []);
  const white = choice("white", "heatmap white point", []);
  const slider = element("input", { type: "range", class: "vorn-slider", name: "cursor", min: "0", max: "1", step: "1" });
  const labelled = (text, control) => element("label", {}, text, control);
  const bar = element("div", { class: "vorn-bar" }, clock, play, back, forward, labelled("speed", speed),
    labelled("step", step), labelled("window", windowSel), labelled("bucket", bucket), labelled("candle", candle),
    labelled("bin", bin), labelled("depth", depth), labelled("colour", scale), labelled("white", white), status);
  const boxes = ["footprint", "heatmap", "liquidations", "divergence"].map((name) =>
    element("div", { class: "vorn-panel" + (name === "divergence" ? " wide" : ""), id: "vorn-" + name }));
  const charts = element("div", { class: "vorn-charts" }, ...boxes);
  const app = element("div", { class: "vorn", tabindex: "0" }, style, bar, slider, charts);
  root.append(app);
  speed.value = "10"; step.value = "10s";

  const panels = {
    footprint: new Panel(boxes[0], "Footprint"), heatmap: new Panel(boxes[1], "Book heatmap"),
    liquidations: new Panel(boxes[2], "Liquidations"), divergence: new Panel(boxes[3], "Funding / OI"),
  };
  const heatImage = new CodeImage(HEATMAP_TABLE), liqImage = new CodeImage(LIQUIDATION_TABLE), footprint = new Footprint();

  // What the page shows and asks for.
  const state = {
    hello: null, frame: null, pending: null, cursor: 0, settings: null, nextId: 1, answered: 0, drawnId: 0,
    playing: false, playFrom: 0, playClock: 0, dirty: false, liveAt: 0, liveTimer: null, zoom: null, prices: null, mouse: null,
    statusText: "", connection: null, needsDraw: false, drawnAt: 0,
  };
  // Read by tests and benchmarks (plain values, no DOM).
  const vorn = { frames: 0, frameTimes: [], frame: null, hover: null, clock: "", status: "", requests: 0, state, panels, footprint,
    tables: { heatmap: HEATMAP_TABLE, liquidations: LIQUIDATION_TABLE } };
  window.vorn = vorn;

  function settingsFromControls() {
    return {
      window_ms: Number(windowSel.value), bucket_ms: Number(bucket.value), footprint_bucket_ms: Number(candle.value),
      price_bin: Number(bin.value), depth_levels: Number(depth.value), scale: scale.value, white_point: white.value,
      ...(state.venues ? { venues: state.venues.chosen() } : {}),
    };
  }

  function fillChoices(select, values, current, label) {
    const all = [...new Set([...values, current])].sort((a, b) => (typeof a === "number" ? a - b : 0));
    select.replaceChildren(...all.map((v) => element("option", { value: String(v) }, label ? label(v) : String(v))));
    select.value = String(current);
  }

  function fromAddress() {
    const params = new URLSearchParams((location.hash || "").replace(/^#/, ""));
    const out = {};
    if (params.has("t")) { const t = Date.parse(params.get("t")); if (isFinite(t)) out.cursor = t; }
    for (const key of ["window_ms", "bucket_ms", "footprint_bucket_ms", "depth_levels"]) if (params.has(key)) out[key] = Number(params.get(key));
    if (params.has("price_bin")) out.price_bin = Number(params.get("price_bin"));
    for (const key of ["scale", "white_point"]) if (params.has(key)) out[key] = params.get(key);
    return out;
  }

  function toAddress() {
    if (options.address === false || !state.frame) return;
    const s = state.settings;
    const hash = `#t=${new Date(state.cursor).toISOString()}&window_ms=${s.window_ms}&bucket_ms=${s.bucket_ms}` +
      `&footprint_bucket_ms=${s.footprint_bucket_ms}&price_bin=${s.price_bin}&depth_levels=${s.depth_levels}` +
      `&scale=${s.scale}&white_point=${s.white_point}`;
    if (location.hash !== hash) history.replaceState(null, "", hash);
  }

  function onHello(hello) {
    state.hello = hello;
    if (!state.venues) {
      state.venues = venueSwitches(hello.venues, settingsChanged);
      if (state.venues) bar.insertBefore(state.venues, status);
    }
    if (options.address !== false) document.title = `${hello.symbol} · korvel_vorn replay`;
    const wanted = options.address === false ? {} : fromAddress();
    const s = { ...hello.settings };
    for (const key of Object.keys(s)) if (key in wanted) s[key] = wanted[key];
    fillChoices(windowSel, hello.choices.window_ms, s.window_ms, duration);
    fillChoices(bucket, hello.choices.bucket_ms, s.bucket_ms, duration);
    fillChoices(candle, hello.choices.footprint_bucket_ms, s.footprint_bucket_ms, duration);
    fillChoices(scale, hello.choices.scale, s.scale);
    fillChoices(white, hello.choices.white_point, s.white_point);
    bin.value = String(s.price_bin); depth.value = String(s.depth_levels);
    state.settings = s;
    const b = hello.bounds;
    slider.min = String(b.from_ts); slider.max = String(Math.max(b.to_ts, b.from_ts + 1));
    const fitted = Math.min(s.window_ms, Math.max(1, b.to_ts - b.from_ts));
    state.cursor = "cursor" in wanted ? Math.min(Math.max(wanted.cursor, b.from_ts), b.to_ts) : Math.min(b.to_ts, b.from_ts + fitted);
    slider.value = String(state.cursor);
    state.answered = state.nextId - 1;  // requests of an earlier connection are never answered
    if (hello.error) setStatus("error: " + hello.error);
    if (hello.live) startPlaying();
    request(true);
  }

  // --- requests: at most two in flight; a newer one makes the server drop older waiting ones.
  function inFlight() { return state.nextId - 1 - state.answered; }

  function nextCursor() {
    if (!state.playing) return state.cursor;
    const b = state.hello.bounds;
    if (state.hello.live) return b.to_ts + LIVE_AHEAD_MS;  // the server clamps it to the newest moment
    return Math.min(b.to_ts, state.playFrom + (performance.now() - state.playClock) * Number(speed.value));
  }

  function request(force) {
    if (!state.hello) return;
    if (force) state.dirty = true;
    // Following a live market: a new frame at most every LIVE_POLL_MS (the market moves that slowly).
    if (state.hello.live && state.playing && !state.dirty) {
      const wait = state.liveAt + LIVE_POLL_MS - performance.now();
      if (wait > 0) { if (!state.liveTimer) state.liveTimer = setTimeout(() => { state.liveTimer = null; request(false); }, wait); return; }
    }
    while (inFlight() < IN_FLIGHT && (state.dirty || state.playing)) {
      state.liveAt = performance.now();
      const cursor = Math.round(nextCursor());
      const message = { type: "frame", id: state.nextId, cursor, settings: state.settings };
      if (!transport.send(message)) return;
      state.nextId += 1; state.dirty = false; vorn.requests += 1;
      if (state.playing && cursor >= state.hello.bounds.to_ts && !state.hello.live) { stopPlaying(); break; }
    }
  }

  function onFrame(buffer) {
    let frame;
    try { frame = readFrame(buffer); } catch (error) { setStatus("error: " + error.message); return; }
    const h = frame.header;
    state.answered = Math.max(state.answered, h.id);
    if (h.type === "error") {
      state.errorId = h.id;
      setStatus("error: " + h.error);
      request(false);
      return;
    }
    if (h.id < state.drawnId) { request(false); return; }  // overtaken by a newer frame already drawn
    state.pending = frame;
    if (!state.needsDraw) { state.needsDraw = true; requestAnimationFrame(drawPending); }
  }

  transport.onMessage((data) => {
    if (data instanceof ArrayBuffer) onFrame(data);
    else if (data && data.type === "hello") onHello(data);
    else if (data && data.type === "bounds") { state.hello.bounds = data.bounds; slider.max = String(data.bounds.to_ts); }
  });
  transport.onStatus((text) => { state.connection = text; scheduleStatus(); if (!text && state.hello) request(true); });

  // --- views: the shared time and price ranges of the price charts, zoom and pan.
  function priceRange(frame) {
    const { header: h, arrays: a } = frame;
    let lo = Infinity, hi = -Infinity;
    if (h.heatmap.columns) { lo = Math.min(lo, a.hm_prices[0]); hi = Math.max(hi, a.hm_prices[h.heatmap.columns - 1] + h.settings.price_bin); }
    if (h.footprint.bins) { lo = Math.min(lo, a.fp_prices[0]); hi = Math.max(hi, a.fp_prices[h.footprint.bins - 1] + h.footprint.price_bin); }
    for (const v of a.hm_last) if (v === v) { if (v < lo) lo = v; if (v > hi) hi = v; }
    if (h.liquidations.rows) { lo = Math.min(lo, h.liquidations.low); hi = Math.max(hi, h.liquidations.low + h.liquidations.rows * h.liquidations.row_height); }
    if (!(hi > lo)) return [0, 1];
    return [lo, hi];
  }

  function viewOf(frame) {
    const h = frame.header;
    const [lo, hi] = priceRange(frame);
    // The price range follows the data but holds still while the data stays inside it (finished
    // footprint candles keep their bitmaps, the eye keeps its place).
    const held = state.prices;
    if (!held || held.settingsKey !== JSON.stringify(h.settings) || lo < held.lo || hi > held.hi || hi - lo < 0.6 * (held.hi - held.lo)) {
      const pad = (hi - lo) * 0.04;
      state.prices = { lo: lo - pad, hi: hi + pad, settingsKey: JSON.stringify(h.settings) };
    }
    let view = { t0: h.start, t1: h.end, p0: state.prices.lo, p1: state.prices.hi };
    const z = state.zoom;
    if (z) {
      const span = view.t1 - view.t0;
      view = { t0: view.t0 + z.f0 * span, t1: view.t0 + z.f1 * span, p0: z.p0 ?? view.p0, p1: z.p1 ?? view.p1 };
    }
    return view;
  }

  function draw() {
    const frame = state.frame;
    if (!frame) return;
    const view = viewOf(frame);
    state.view = view;
    footprint.draw(panels.footprint, frame, view);
    drawHeatmap(panels.heatmap, heatImage, frame, view);
    drawLiquidations(panels.liquidations, liqImage, frame, view);
    state.divRanges = drawDivergence(panels.divergence, frame, { t0: view.t0, t1: view.t1 });
    drawHover();
  }

  function drawPending() {
    state.needsDraw = false;
    const frame = state.pending;
    state.pending = null;
    if (!frame) return;
    const { header: h, arrays: a } = frame;
    heatImage.update(a.hm_codes, a.hm_cells, h.heatmap.rows, h.heatmap.columns, true);
    liqImage.update(a.lq_codes, null, h.liquidations.rows, h.liquidations.columns, false);
    state.frame = frame;
    state.drawnId = h.id;
    state.cursor = h.cursor;
    if (state.hello && h.bounds) state.hello.bounds = h.bounds;
    draw();
    vorn.frames += 1;
    vorn.frame = frame;
    vorn.frameTimes.push(performance.now());
    if (vorn.frameTimes.length > 2000) vorn.frameTimes.splice(0, 1000);
    if (h.id > (state.errorId ?? -Infinity)) state.error = null;  // a newer request succeeded
    state.notes = h.notes.join("; ");
    scheduleStatus();
    request(false);
  }

  // --- status text: at most four changes a second.
  let statusTimer = null, statusAt = 0;
  function setStatus(text) { state.error = text; scheduleStatus(); }
  function scheduleStatus() {
    if (statusTimer) return;
    const wait = Math.max(0, statusAt + STATUS_MS - performance.now());
    statusTimer = setTimeout(() => {
      statusTimer = null; statusAt = performance.now();
      const text = state.connection || state.error || state.notes || "";
      if (status.textContent !== text) { status.textContent = text; status.title = text; }
      vorn.status = text;
      if (state.frame) {
        const c = clockText(state.cursor);
        if (vorn.clock !== c) drawClock(c);
        vorn.clock = c;
        // The slider's thumb moves at most once a second while playing (each move is a layout).
        const now = performance.now();
        if (!slider.matches(":active") && (!state.playing || now - (state.sliderAt || 0) >= 1000)) {
          const b = state.hello.bounds;
          if (slider.max !== String(Math.max(b.to_ts, b.from_ts + 1))) { slider.min = String(b.from_ts); slider.max = String(Math.max(b.to_ts, b.from_ts + 1)); }
          slider.value = String(state.cursor); state.sliderAt = now;
          toAddress();
        }
      }
      if (play.textContent !== (state.playing ? "❚❚ pause" : "▶ play")) play.textContent = state.playing ? "❚❚ pause" : "▶ play";
      if (state.playing) scheduleStatus();
    }, wait);
  }

  // --- controls and keys.
  function startPlaying() {
    if (!state.hello) return;
    const b = state.hello.bounds;
    if (state.cursor >= b.to_ts && !state.hello.live) state.cursor = b.from_ts;
    state.playing = true; state.playFrom = state.cursor; state.playClock = performance.now();
    scheduleStatus(); request(true);
  }
  function stopPlaying() { state.playing = false; scheduleStatus(); }
  function toggle() { if (state.playing) stopPlaying(); else startPlaying(); }
  function seek(cursor) {
    const b = state.hello.bounds;
    state.cursor = Math.min(Math.max(Math.round(cursor), b.from_ts), b.to_ts);
    if (state.playing && state.hello.live) stopPlaying();  // a seek into the recording stops following it
    if (state.playing) { state.playFrom = state.cursor; state.playClock = performance.now(); }
    request(true);
  }
  function stepBy(direction) { seek(state.cursor + direction * STEPS[step.value]); }
  function changeSpeed(direction) {
    const k = Math.min(SPEEDS.length - 1, Math.max(0, SPEEDS.indexOf(Number(speed.value)) + direction));
    if (state.playing) { state.playFrom = nextCursor(); state.playClock = performance.now(); }
    speed.value = String(SPEEDS[k]);
  }
  function settingsChanged() {
    state.settings = settingsFromControls(); state.zoom = null; state.prices = null; footprint.cache.clear();
    request(true);
  }

  play.addEventListener("click", toggle);
  back.addEventListener("click", () => stepBy(-1));
  forward.addEventListener("click", () => stepBy(1));
  speed.addEventListener("change", () => changeSpeed(0));
  slider.addEventListener("input", () => seek(Number(slider.value)));
  for (const control of [windowSel, bucket, candle, bin, depth, scale, white]) control.addEventListener("change", settingsChanged);
  app.addEventListener("keydown", (event) => {
    if (event.target instanceof HTMLInputElement && event.target.type === "number") return;
    if (event.target instanceof HTMLSelectElement) return;
    const keys = { " ": toggle, ArrowLeft: () => stepBy(-1), ArrowRight: () => stepBy(1), "+": () => changeSpeed(1), "=": () => changeSpeed(1), "-": () => changeSpeed(-1) };
    const action = keys[event.key];
    if (action) { event.preventDefault(); action(); }
  });
  if (options.keysOnWindow !== false) {
    window.addEventListener("keydown", (event) => {
      if (event.target === document.body) app.dispatchEvent(new KeyboardEvent("keydown", { key: event.key, bubbles: false }));
    });
  }

  // --- hover: crosshair and the values under the mouse, on the overlays only.
  function hoverValues(name, x, y) {
    const frame = state.frame, view = state.view, panel = panels[name];
    if (!frame || !view || !panel.inside(x, y)) return null;
    const { header: h, arrays: a } = frame;
    const t = panel.timeAt(x, view);
    const time = new Date(Math.round(t)).toISOString().slice(11, 23);
    if (name === "divergence") {
      const k = floorSorted(a.dv_times, t);
      if (k < 0) return { lines: [time] };
      const f = a.dv_funding[k];
      return { lines: [new Date(a.dv_times[k]).toISOString().slice(11, 19), `close ${priceText(a.dv_price[k])}`,
        `funding ${f === f ? (f * 100).toFixed(4) + "%" : "none"}`, `open interest ${sizeText(a.dv_oi[k])}`],
        values: { time: a.dv_times[k], price: a.dv_price[k], funding: f, oi: a.dv_oi[k] } };
    }
    const price = panel.valueAt(y, view.p0, view.p1);
    if (name === "heatmap") {
      const hm = h.heatmap, bucketMs = h.settings.bucket_ms, w = h.settings.price_bin;
      if (!hm.rows) return null;
      const row = Math.floor((t - a.hm_times[0]) / bucketMs), col = Math.floor((price - a.hm_prices[0]) / w);
      if (row < 0 || row >= hm.rows || col < 0 || col >= hm.columns) return { lines: [time, `price ${price.toFixed(2)}`] };
      const k = findSorted(a.hm_cells, row * hm.columns + col);
      const bid = k < 0 ? 0 : a.hm_bid[k], ask = k < 0 ? 0 : a.hm_ask[k];
      const lines = [new Date(a.hm_times[row]).toISOString().slice(11, 19) + ` +${duration(bucketMs)}`,
        `price ${a.hm_prices[col]} – ${a.hm_prices[col] + w}`];
      if (bid > 0) lines.push(`bid size ${sizeText(bid)}`);
      if (ask > 0) lines.push(`ask size ${sizeText(ask)}`);
      if (!(bid > 0) && !(ask > 0)) lines.push("no resting size");
      lines.push(...venueLines(h, a, "hm", k, sizeText));
      const last = a.hm_last[row];
      if (last === last) lines.push(`last price ${priceText(last)}`);
      return { lines, values: { time: a.hm_times[row], price: a.hm_prices[col], bid, ask, row, col } };
    }
    if (name === "footprint") {
      const fp = h.footprint;
      const row = floorSorted(a.fp_times, t);
      if (row < 0 || t >= a.fp_times[row] + fp.bucket_ms) return { lines: [time, `price ${price.toFixed(2)}`] };
      const col = floorSorted(a.fp_prices, price);
      if (col < 0 || price >= a.fp_prices[col] + fp.price_bin) return { lines: [time, `price ${price.toFixed(2)}`, "no trades"] };
      let k = -1;
      for (let i = 0; i < a.fp_rows.length; i++) if (a.fp_rows[i] === row && a.fp_cols[i] === col) { k = i; break; }
      if (k < 0) return { lines: [time, `price ${a.fp_prices[col]}`, "no trades"] };
      const buy = a.fp_buy[k], sell = a.fp_sell[k];
      return { lines: [new Date(a.fp_times[row]).toISOString().slice(11, 19) + ` +${duration(fp.bucket_ms)}`,
        `price ${a.fp_prices[col]} – ${a.fp_prices[col] + fp.price_bin}`, `sell ${sizeText(sell)} × buy ${sizeText(buy)}`,
        `delta ${(buy - sell > 0 ? "+" : "") + sizeText(buy - sell)}`, ...venueLines(h, a, "fp", k, sizeText)],
        values: { time: a.fp_times[row], price: a.fp_prices[col], buy, sell } };
    }
    if (name === "liquidations") {
      let best = -1, bestDistance = 8;
      for (let k = 0; k < a.lq_ts.length; k++) {
        const dx = panel.xOf(a.lq_ts[k], view) - x, dy = panel.yOf(a.lq_price[k], view.p0, view.p1) - y;
        const d = Math.hypot(dx, dy);
        if (d < bestDistance) { best = k; bestDistance = d; }
      }
      if (best < 0) return { lines: [time, `price ${price.toFixed(2)}`] };
      return { lines: [new Date(a.lq_ts[best]).toISOString().slice(11, 23), `${a.lq_side[best] ? "short" : "long"} liquidated`,
        `price ${priceText(a.lq_price[best])}`, `size ${sizeText(a.lq_qty[best])}`, ...liquidationVenue(h, a, best)],
        values: { time: a.lq_ts[best], price: a.lq_price[best], qty: a.lq_qty[best], side: a.lq_side[best] } };
    }
    return null;
  }

  function drawHover() {
    const mouse = state.mouse, view = state.view;
    for (const panel of Object.values(panels)) panel.octx.clearRect(0, 0, panel.width, panel.height);
    vorn.hover = null;
    if (!mouse || !view || !state.frame) return;
    const source = panels[mouse.panel];
    const t = source.timeAt(mouse.x, view);
    const price = mouse.panel === "divergence" ? null : source.valueAt(mouse.y, view.p0, view.p1);
    for (const [name, panel] of Object.entries(panels)) {
      const ctx = panel.octx, p = panel.plot;
      ctx.strokeStyle = "rgba(0,0,0,0.55)"; ctx.lineWidth = 1; ctx.setLineDash([3, 3]);
      const x = Math.round(panel.xOf(t, view)) + 0.5;
      ctx.beginPath(); ctx.moveTo(x, p.y); ctx.lineTo(x, p.y + p.h);
      if (price !== null && name !== "divergence") { const y = Math.round(panel.yOf(price, view.p0, view.p1)) + 0.5; ctx.moveTo(p.x, y); ctx.lineTo(p.x + p.w, y); }
      ctx.stroke(); ctx.setLineDash([]);
    }
    const found = hoverValues(mouse.panel, mouse.x, mouse.y);
    if (!found) return;
    vorn.hover = { panel: mouse.panel, lines: found.lines, values: found.values || null };
    if (found.values) vorn.hoverValues = (vorn.hoverValues || 0) + 1;
    const ctx = source.octx;
    ctx.font = "11px system-ui, sans-serif";
    const width = Math.max(...found.lines.map((l) => ctx.measureText(l).width)) + 10, height = found.lines.length * 14 + 6;
    let bx = mouse.x + 12, by = mouse.y + 12;
    if (bx + width > source.width) bx = mouse.x - 12 - width;
    if (by + height > source.height) by = mouse.y - 12 - height;
    ctx.fillStyle = "rgba(255,255,255,0.93)"; ctx.strokeStyle = "#888";
    ctx.fillRect(bx, by, width, height); ctx.strokeRect(bx + 0.5, by + 0.5, width - 1, height - 1);
    ctx.fillStyle = "#111"; ctx.textAlign = "left"; ctx.textBaseline = "top";
    found.lines.forEach((line, k) => ctx.fillText(line, bx + 5, by + 4 + k * 14));
  }

  let hoverQueued = false;
  function queueHover() { if (!hoverQueued) { hoverQueued = true; requestAnimationFrame(() => { hoverQueued = false; drawHover(); }); } }
  let drag = null;
  for (const [name, panel] of Object.entries(panels)) {
    const target = panel.overlay;
    target.addEventListener("mousemove", (event) => {
      const r = target.getBoundingClientRect(), x = event.clientX - r.left, y = event.clientY - r.top;
      state.mouse = { panel: name, x, y };
      if (drag && state.view) {
        const dt = (drag.x - x) / panel.plot.w * (drag.view.t1 - drag.view.t0);
        const span = state.frame.header.end - state.frame.header.start;
        const z = state.zoom || { f0: 0, f1: 1 };
        const shift = dt / span;
        let dp = 0;
        if (name !== "divergence") dp = (y - drag.y) / panel.plot.h * (drag.view.p1 - drag.view.p0);
        state.zoom = { f0: drag.zoom.f0 + shift, f1: drag.zoom.f1 + shift,
          p0: name === "divergence" ? z.p0 : drag.view.p0 + dp, p1: name === "divergence" ? z.p1 : drag.view.p1 + dp };
        draw();
        return;
      }
      queueHover();
    });
    target.addEventListener("mouseleave", () => { state.mouse = null; drag = null; queueHover(); });
    target.addEventListener("mousedown", (event) => {
      if (!state.view) return;
      const r = target.getBoundingClientRect();
      drag = { x: event.clientX - r.left, y: event.clientY - r.top, view: { ...state.view }, zoom: state.zoom || { f0: 0, f1: 1 } };
    });
    target.addEventListener("mouseup", () => { drag = null; });
    target.addEventListener("dblclick", () => { state.zoom = null; draw(); });
    target.addEventListener("wheel", (event) => {
      if (!state.view || !state.frame) return;
      event.preventDefault();
      const r = target.getBoundingClientRect(), x = event.clientX - r.left, y = event.clientY - r.top;
      const factor = event.deltaY > 0 ? 1.25 : 0.8;
      const z = state.zoom || { f0: 0, f1: 1 };
      const view = state.view;
      if (event.shiftKey && name !== "divergence") {
        const p = panel.valueAt(y, view.p0, view.p1);
        state.zoom = { ...z, p0: p - (p - view.p0) * factor, p1: p + (view.p1 - p) * factor };
      } else {
        const f = z.f0 + (panel.timeAt(x, view) - view.t0) / (view.t1 - view.t0) * (z.f1 - z.f0);
        const f0 = f - (f - z.f0) * factor, f1 = f + (z.f1 - f) * factor;
        state.zoom = f1 - f0 >= 1 && !z.p0 ? null : { ...z, f0, f1 };
      }
      draw();
    }, { passive: false });
  }

  // --- the layout follows the window: canvases get a new size only when their box changes.
  const observer = new ResizeObserver(() => {
    let changed = false;
    for (const panel of Object.values(panels)) changed = panel.resize() || changed;
    if (changed) { footprint.cache.clear(); draw(); }
  });
  for (const box of boxes) observer.observe(box);
  for (const panel of Object.values(panels)) panel.resize();
  app.focus({ preventScroll: true });
  return { state, vorn, seek, toggle };
}
