// Colours: the 256-entry lookup tables of the images (code 0 empty, 1-127 the first side, 129-255
// the second, each a step of the size on the fixed scale), and the footprint's delta colours.
export const BID_RAMP = ["#c6dbef", "#9ecae1", "#6baed6", "#4292c6", "#2171b5", "#08519c", "#08306b"];
export const ASK_RAMP = ["#fdd0a2", "#fdae6b", "#fd8d3c", "#f16913", "#d94801", "#a63603", "#7f2704"];
export const LONG_RAMP = ["#fcbba1", "#fb6a4a", "#ef3b2c", "#cb181d", "#99000d"];
export const SHORT_RAMP = ["#c7e9c0", "#74c476", "#41ab5d", "#238b45", "#005a32"];
export const BACKGROUND = "#ffffff";
export const SELL_COLOUR = "#d73027";
export const BUY_COLOUR = "#1a9850";

export function rgbOf(hex) {
  const n = parseInt(hex.slice(1), 16);
  return [(n >> 16) & 255, (n >> 8) & 255, n & 255];
}

function rampAt(ramp, t) {
  const x = Math.min(Math.max(t, 0), 1) * (ramp.length - 1);
  const i = Math.min(Math.floor(x), ramp.length - 2), f = x - i;
  const a = rgbOf(ramp[i]), b = rgbOf(ramp[i + 1]);
  return [0, 1, 2].map((k) => Math.round(a[k] + (b[k] - a[k]) * f));
}

function packed([r, g, b]) { return (255 << 24) | (b << 16) | (g << 8) | r; }  // ImageData's RGBA in a little-endian word

// The table of two ramps: [0] the background, [1 + k] first ramp at k/126, [129 + k] the second.
export function lookupTable(first, second) {
  const table = new Uint32Array(256);
  table[0] = table[128] = packed(rgbOf(BACKGROUND));
  for (let k = 0; k <= 126; k++) {
    table[1 + k] = packed(rampAt(first, k / 126));
    table[129 + k] = packed(rampAt(second, k / 126));
  }
  return table;
}

// The colour of a footprint cell's delta: sells red, buys green, white at zero, clipped at limit.
export function deltaColour(delta, limit) {
  const t = Math.max(-1, Math.min(1, delta / (limit || 1)));
  const end = rgbOf(t < 0 ? SELL_COLOUR : BUY_COLOUR), mid = [247, 247, 247], a = Math.abs(t);
  return `rgb(${[0, 1, 2].map((k) => Math.round(mid[k] + (end[k] - mid[k]) * a)).join(",")})`;
}
