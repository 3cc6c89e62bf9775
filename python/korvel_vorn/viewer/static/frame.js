// A frame message of the server: "VRN1", the header's length, the JSON header, then typed arrays
// at the offsets the header gives (each a multiple of 8, so they are read in place).
const FRAME_TYPES = { u1: Uint8Array, u2: Uint16Array, u4: Uint32Array, f4: Float32Array, f8: Float64Array };
const FRAME_TEXT = new TextDecoder();

export function readFrame(buffer) {
  const bytes = new Uint8Array(buffer);
  if (bytes.length < 8 || bytes[0] !== 86 || bytes[1] !== 82 || bytes[2] !== 78 || bytes[3] !== 49) {
    throw new Error("not a viewer frame");
  }
  const length = new DataView(buffer).getUint32(4, true);
  const header = JSON.parse(FRAME_TEXT.decode(bytes.subarray(8, 8 + length)));
  const arrays = {};
  for (const [name, [type, offset, count]] of Object.entries(header.arrays || {})) {
    arrays[name] = new FRAME_TYPES[type](buffer, offset, count);
  }
  return { header, arrays };
}

// The index of `value` in an ascending array, or -1.
export function findSorted(array, value) {
  let lo = 0, hi = array.length - 1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    if (array[mid] < value) lo = mid + 1; else if (array[mid] > value) hi = mid - 1; else return mid;
  }
  return -1;
}

// The last index whose value is at most `value` in an ascending array, or -1.
export function floorSorted(array, value) {
  let lo = 0, hi = array.length - 1, found = -1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    if (array[mid] <= value) { found = mid; lo = mid + 1; } else hi = mid - 1;
  }
  return found;
}
