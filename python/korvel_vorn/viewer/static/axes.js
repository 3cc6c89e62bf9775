// Axes: tick steps a reader expects (round prices, whole clock times) and their labels.
const TIME_STEPS = [1e3, 2e3, 5e3, 1e4, 15e3, 3e4, 6e4, 12e4, 3e5, 6e5, 9e5, 18e5, 36e5, 72e5, 144e5, 216e5, 432e5, 864e5];

export function timeTicks(t0, t1, pixels) {
  const want = Math.max(2, Math.floor(pixels / 90));
  const step = TIME_STEPS.find((s) => (t1 - t0) / s <= want) || TIME_STEPS[TIME_STEPS.length - 1];
  const ticks = [];
  for (let t = Math.ceil(t0 / step) * step; t <= t1 && ticks.length < 200; t += step) ticks.push(t);
  return { ticks, step };
}

export function timeLabel(ms, step) {
  const text = new Date(ms).toISOString();
  return step % 60000 === 0 ? text.slice(11, 16) : text.slice(11, 19);
}

export function clockText(ms) {
  return new Date(ms).toISOString().replace("T", " ").replace("Z", " UTC");
}

export function valueTicks(v0, v1, pixels) {
  const want = Math.max(2, Math.floor(pixels / 45));
  const raw = (v1 - v0) / want;
  if (!(raw > 0) || !isFinite(raw)) return { ticks: [], step: 1 };
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 2.5, 5, 10].map((m) => m * power).find((s) => s >= raw);
  const ticks = [];
  for (let v = Math.ceil(v0 / step) * step; v <= v1 && ticks.length < 100; v += step) ticks.push(v);
  return { ticks, step };
}

export function valueLabel(value, step) {
  const digits = Math.max(0, Math.min(8, -Math.floor(Math.log10(step) + 1e-9)));
  return value.toLocaleString("en-US", { minimumFractionDigits: digits, maximumFractionDigits: digits });
}

// A size as a trader reads it: 3 significant digits, k and M for thousands and millions.
export function sizeText(value) {
  const a = Math.abs(value);
  if (a >= 1e6) return (value / 1e6).toPrecision(3) + "M";
  if (a >= 1e4) return (value / 1e3).toPrecision(3) + "k";
  if (a >= 100) return value.toFixed(0);
  if (a === 0) return "0";
  return value.toPrecision(3);
}

// A price as sent (float32 series carry about 7 significant digits).
export function priceText(value) {
  return value === value ? String(Number(value.toPrecision(7))) : "none";
}
