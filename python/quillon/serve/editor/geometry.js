// Where things are drawn: symbol sizes, port positions, link paths, the view.
// Pure functions on plain data; screen coordinates have y pointing down, so
// an instance at layout (x, y) is drawn at (x, -y).

export const SYMBOL_WIDTH = 80;
const PORT_PITCH = 22;
const STUB = 8;

const SIDE_DIRECTION = { w: [-1, 0], e: [1, 0], n: [0, -1], s: [0, 1] };

/** Ports of one component by side, in drawing order. `ports`: name -> {orientation, index, port_type}. */
export function portsBySide(ports) {
  const sides = { w: [], n: [], e: [], s: [] };
  Object.entries(ports || {}).forEach(([name, p], order) => {
    const side = sides[p.orientation] ? p.orientation : "w";
    sides[side].push({ name, index: Number(p.index) || 0, order, type: p.port_type || "optical" });
  });
  const byIndex = (desc) => (a, b) => (desc ? b.index - a.index : a.index - b.index) || a.order - b.order;
  sides.w.sort(byIndex(true));
  sides.e.sort(byIndex(true));
  sides.n.sort(byIndex(false));
  sides.s.sort(byIndex(false));
  return sides;
}

/** Symbol box and port anchors of a component, in the symbol's own frame (centre at 0,0). */
export function symbolLayout(ports) {
  const sides = portsBySide(ports);
  const rows = Math.max(sides.w.length, sides.e.length, 1);
  const cols = Math.max(sides.n.length, sides.s.length, 1);
  const width = Math.max(SYMBOL_WIDTH, cols * PORT_PITCH + 16);
  const height = Math.max(SYMBOL_WIDTH, rows * PORT_PITCH + 16);
  const anchors = {};
  const spread = (list, length) => list.map((p, k) => (k + 0.5 - list.length / 2) * Math.min(PORT_PITCH, length / list.length));
  for (const [side, list] of Object.entries(sides)) {
    const along = spread(list, side === "w" || side === "e" ? height : width);
    list.forEach((p, k) => {
      const [dx, dy] = SIDE_DIRECTION[side];
      const x = dx ? dx * (width / 2 + STUB) : along[k];
      const y = dy ? dy * (height / 2 + STUB) : along[k];
      anchors[p.name] = { x, y, dx, dy, side, type: p.type };
    });
  }
  return { width, height, anchors };
}

/** A point of the symbol frame in screen coordinates for an instance. */
export function toScreen(instance, x, y) {
  const mx = instance.mirror ? -x : x;
  const theta = (-instance.rotation * Math.PI) / 180;
  const c = Math.round(Math.cos(theta));
  const s = Math.round(Math.sin(theta));
  return [instance.x + mx * c - y * s, -instance.y + mx * s + y * c];
}

/** Screen position and outward direction of a port of an instance. */
export function portPoint(instance, anchor) {
  const [x, y] = toScreen(instance, anchor.x, anchor.y);
  const [ox, oy] = toScreen({ ...instance, x: 0, y: 0 }, anchor.dx, anchor.dy);
  return { x, y, dx: ox, dy: oy };
}

/** The SVG transform of an instance's symbol group. */
export function instanceTransform(instance) {
  const mirror = instance.mirror ? " scale(-1,1)" : "";
  return `translate(${instance.x},${-instance.y}) rotate(${-instance.rotation})${mirror}`;
}

/** A smooth path leaving each port along its direction. */
export function linkPath(p, q) {
  const reach = Math.max(30, Math.min(120, Math.hypot(q.x - p.x, q.y - p.y) / 2));
  return `M${p.x},${p.y} C${p.x + p.dx * reach},${p.y + p.dy * reach} ${q.x + q.dx * reach},${q.y + q.dy * reach} ${q.x},${q.y}`;
}

// ---------------------------------------------------------------- view

/** The view: screen = (world - origin) * scale. */
export const defaultView = () => ({ x: -400, y: -300, scale: 1 });

export const toWorld = (view, sx, sy) => [view.x + sx / view.scale, view.y + sy / view.scale];

/** Zoom by `factor` keeping the world point under (sx, sy) in place. */
export function zoomAt(view, sx, sy, factor) {
  const scale = Math.min(8, Math.max(0.05, view.scale * factor));
  const [wx, wy] = toWorld(view, sx, sy);
  return { x: wx - sx / scale, y: wy - sy / scale, scale };
}

export const pan = (view, dsx, dsy) => ({ ...view, x: view.x - dsx / view.scale, y: view.y - dsy / view.scale });

/** A view showing every instance of the circuit in a width x height viewport. */
export function fitView(instances, width, height) {
  const list = Object.values(instances);
  if (!list.length) return { x: -width / 2, y: -height / 2, scale: 1 };
  const margin = 90;
  const xs = list.map((i) => i.x);
  const ys = list.map((i) => -i.y);
  const left = Math.min(...xs) - margin;
  const top = Math.min(...ys) - margin;
  const w = Math.max(...xs) + margin - left;
  const h = Math.max(...ys) + margin - top;
  const scale = Math.min(2, width / w, height / h);
  return { x: left - (width / scale - w) / 2, y: top - (height / scale - h) / 2, scale };
}
