// A market over several venues: a switch per venue (a venue switched off leaves the aggregate)
// and each venue's share of the cell under the mouse.

// The switches, or null for a market of one venue. `chosen()` gives the venues switched on.
export function venueSwitches(names, onChange) {
  if (!names || names.length < 2) return null;
  const box = document.createElement("span");
  box.className = "vorn-venues";
  const inputs = names.map((name) => {
    const input = document.createElement("input");
    input.type = "checkbox"; input.name = "venue"; input.value = name; input.checked = true;
    input.addEventListener("change", () => {
      // at least one venue stays on
      if (!inputs.some((other) => other.checked)) input.checked = true; else onChange();
    });
    const label = document.createElement("label");
    label.append(input, " " + name);
    box.append(label);
    return input;
  });
  box.chosen = () => inputs.filter((input) => input.checked).map((input) => input.value);
  return box;
}

// The hover line naming the venue of liquidation k.
export function liquidationVenue(header, arrays, k) {
  return header.venues && arrays.lq_venue ? [`venue ${header.venues[arrays.lq_venue[k]]}`] : [];
}

// Hover lines "venue: value" of cell k of the heatmap ("hm") or the footprint ("fp").
export function venueLines(header, arrays, kind, k, sizeText) {
  const names = header.venues;
  if (!names || k < 0) return [];
  return names.map((name, i) => {
    if (kind === "hm") return `  ${name} ${sizeText(arrays[`hm_v${i}`][k])}`;
    return `  ${name} sell ${sizeText(arrays[`fp_v${i}_sell`][k])} × buy ${sizeText(arrays[`fp_v${i}_buy`][k])}`;
  });
}
