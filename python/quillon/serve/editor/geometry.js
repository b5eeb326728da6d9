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

/** A point of the symbol frame in screen coordinates for an instance.
 *
 * As in the layout: a mirrored instance is first mirrored about its own x axis
 * (top and bottom swap), then rotated counter-clockwise, then moved. */
export function toScreen(instance, x, y) {
  const my = instance.mirror ? -y : y;
  const theta = (-instance.rotation * Math.PI) / 180;
  const c = Math.round(Math.cos(theta));
  const s = Math.round(Math.sin(theta));
  return [instance.x + x * c - my * s, -instance.y + x * s + my * c];
}

/** Screen position and outward direction of a port of an instance. */
export function portPoint(instance, anchor) {
  const [x, y] = toScreen(instance, anchor.x, anchor.y);
  const [ox, oy] = toScreen({ ...instance, x: 0, y: 0 }, anchor.dx, anchor.dy);
  return { x, y, dx: ox, dy: oy };
}

/** The SVG transform of an instance's symbol group. */
export function instanceTransform(instance) {
  const mirror = instance.mirror ? " scale(1,-1)" : "";
  return `translate(${instance.x},${-instance.y}) rotate(${-instance.rotation})${mirror}`;
}

/** The cubic curve of a link, [x0, y0, x1, y1, x2, y2, x3, y3]: leaving each port along its direction. */
export function linkCurve(p, q) {
  const reach = Math.max(30, Math.min(120, Math.hypot(q.x - p.x, q.y - p.y) / 2));
  return [p.x, p.y, p.x + p.dx * reach, p.y + p.dy * reach, q.x + q.dx * reach, q.y + q.dy * reach, q.x, q.y];
}

/** The straight line between a curve's ends, as a curve: links are drawn so in the overview,
 * where the raster of thousands of long curves would take most of each frame. */
export const chord = (c) => [c[0], c[1], c[0], c[1], c[6], c[7], c[6], c[7]];

/** The SVG path of a link's curve. */
export const curvePath = (c) => `M${c[0]},${c[1]} C${c[2]},${c[3]} ${c[4]},${c[5]} ${c[6]},${c[7]}`;

/** A smooth path leaving each port along its direction. */
export const linkPath = (p, q) => curvePath(linkCurve(p, q));

/** A box {left, top, right, bottom} holding a curve. */
export function curveBox(c) {
  const xs = [c[0], c[2], c[4], c[6]];
  const ys = [c[1], c[3], c[5], c[7]];
  return { left: Math.min(...xs), top: Math.min(...ys), right: Math.max(...xs), bottom: Math.max(...ys) };
}

const pointOf = (c, t) => {
  const u = 1 - t;
  const [a, b, d, e] = [u * u * u, 3 * u * u * t, 3 * u * t * t, t * t * t];
  return [a * c[0] + b * c[2] + d * c[4] + e * c[6], a * c[1] + b * c[3] + d * c[5] + e * c[7]];
};

/** The curve from t = 0 to t = `t` (de Casteljau), and from `t` to 1. */
function splitCurve(c, t) {
  const mix = (p, q) => [p[0] + (q[0] - p[0]) * t, p[1] + (q[1] - p[1]) * t];
  const [p0, p1, p2, p3] = [[c[0], c[1]], [c[2], c[3]], [c[4], c[5]], [c[6], c[7]]];
  const [a, b, d] = [mix(p0, p1), mix(p1, p2), mix(p2, p3)];
  const [e, f] = [mix(a, b), mix(b, d)];
  const g = mix(e, f);
  return [[...p0, ...a, ...e, ...g], [...g, ...f, ...d, ...p3]];
}

/** The part of a curve within `box` ({left, top, right, bottom}) as [its path, its length from
 * the curve's start] (for the dashes to fall where they fall on the whole curve), found on
 * points at most `step` apart along it, so that a piece within `step` of the box's edges is not
 * missed; [the whole path, 0] when the curve lies within the box, ["", 0] when it misses it. */
export function curveWithin(c, box, step) {
  const b = curveBox(c);
  if (b.left >= box.left && b.right <= box.right && b.top >= box.top && b.bottom <= box.bottom) return [curvePath(c), 0];
  const leg = Math.max(...[0, 2, 4].map((k) => Math.hypot(c[k + 2] - c[k], c[k + 3] - c[k + 1])));
  const n = Math.min(4096, Math.max(16, Math.ceil((3 * leg) / step))); // the curve moves at most 3 legs per unit of t
  const lengths = [0];
  let [first, last] = [-1, -1];
  let prev = pointOf(c, 0);
  for (let k = 0; k <= n; k++) {
    const p = pointOf(c, k / n);
    if (k) lengths.push(lengths[k - 1] + Math.hypot(p[0] - prev[0], p[1] - prev[1]));
    if (p[0] >= box.left && p[0] <= box.right && p[1] >= box.top && p[1] <= box.bottom) [first, last] = [first < 0 ? k : first, k];
    prev = p;
  }
  if (first < 0) return ["", 0];
  const [k0, k1] = [Math.max(0, first - 1), Math.min(n, last + 1)];
  const tail = splitCurve(c, k0 / n)[1];
  const part = k1 === n ? tail : splitCurve(tail, (k1 - k0) / (n - k0))[0];
  return [curvePath(part), lengths[k0]];
}

/** Whether the point (x, y) lies within `reach` of a curve (sampled finely enough for a click). */
export function nearCurve(c, x, y, reach) {
  const box = curveBox(c);
  if (x < box.left - reach || x > box.right + reach || y < box.top - reach || y > box.bottom + reach) return false;
  const at = (t) => pointOf(c, t);
  const steps = 48;
  let [px, py] = at(0);
  for (let k = 1; k <= steps; k++) {
    const [qx, qy] = at(k / steps);
    const [dx, dy] = [qx - px, qy - py];
    const t = dx || dy ? Math.max(0, Math.min(1, ((x - px) * dx + (y - py) * dy) / (dx * dx + dy * dy))) : 0;
    if (Math.hypot(x - px - t * dx, y - py - t * dy) <= reach) return true;
    [px, py] = [qx, qy];
  }
  return false;
}

/** The box {left, top, right, bottom} of an instance's body in screen coordinates. */
export function bodyBox(instance, layout) {
  const turned = instance.rotation % 180 !== 0;
  const [w, h] = turned ? [layout.height, layout.width] : [layout.width, layout.height];
  return { left: instance.x - w / 2, top: -instance.y - h / 2, right: instance.x + w / 2, bottom: -instance.y + h / 2 };
}

// ---------------------------------------------------------------- drawing from the layout

/** Room around a symbol's body for its stubs, ports and labels (name above, component below). */
const ROOM_X = 16;
const ROOM_Y = 36;
/** Drawing units per layout micrometre at most, when spreading instances out. */
const MAX_SPREAD = 100;
/** Grid (drawing units) instances drawn from the layout are snapped to. */
const SNAP = 10;
/** Pairs of instances compared per instance before a scale is given up as far too small. */
const PAIRS_PER_INSTANCE = 40;

/** The room a symbol takes, labels included, unrotated: [width, height]. */
export function symbolRoom(ports) {
  const { width, height } = symbolLayout(ports);
  return [width + 2 * ROOM_X, height + 2 * ROOM_Y];
}

const quarterTurns = (degrees) => ((Math.round(Number(degrees) / 90) % 4) + 4) % 4;

/** Where to draw instances placed by the layout, so that the drawing shows the layout scaled
 * with no two symbols overlapping.
 *
 * `placed`: name -> {box: [left, bottom, right, top] (µm), rotation, mirror}, as the build
 * puts them; `rooms`: name -> symbolRoom; `drawn`: name -> {x, y} of instances that are
 * drawn already: they stay, and the others line up with them. Returns name -> {x, y,
 * rotation, mirror} for every placed instance not drawn. */
export function drawFromLayout(placed, rooms, drawn = {}) {
  const items = Object.entries(placed).map(([name, p]) => {
    const [left, bottom, right, top] = p.box;
    const turns = quarterTurns(p.rotation);
    const [w, h] = rooms[name] || [SYMBOL_WIDTH + 2 * ROOM_X, SYMBOL_WIDTH + 2 * ROOM_Y];
    const rotation = ((Number(p.rotation) % 360) + 360) % 360 || 0; // kept as placed, also off the quarter turns
    return { name, cx: (left + right) / 2, cy: (bottom + top) / 2, w: turns % 2 ? h : w, h: turns % 2 ? w : h, rotation, mirror: Boolean(p.mirror) };
  });
  const [sx, sy] = spreadScales(items);
  const anchored = items.filter((i) => drawn[i.name]);
  const mean = (f) => anchored.reduce((sum, i) => sum + f(i), 0) / anchored.length;
  const [ox, oy] = anchored.length ? [mean((i) => drawn[i.name].x - i.cx * sx), mean((i) => drawn[i.name].y - i.cy * sy)] : [0, 0];
  const snap = (v) => Math.round(v / SNAP) * SNAP;
  for (const i of items) [i.x, i.y] = drawn[i.name] ? [drawn[i.name].x, drawn[i.name].y] : [snap(ox + i.cx * sx), snap(oy + i.cy * sy)];
  settle(items, (i) => !drawn[i.name]);
  return Object.fromEntries(items.filter((i) => !drawn[i.name]).map((i) => [i.name, { x: i.x, y: i.y, rotation: i.rotation, mirror: i.mirror }]));
}

/** Scales [x, y] (drawing units per µm, at most MAX_SPREAD) at which no two items' rooms
 * overlap, centred on their scaled layout centres (SNAP apart, so that snapping them to
 * the grid keeps them apart); each pair is kept apart along the axis that needs the
 * smaller stretch, so that a long row does not spread the drawing's height too. */
function spreadScales(items) {
  if (items.length < 2) return [1, 1];
  const wide = Math.max(...items.map((i) => i.w)) + SNAP;
  const high = Math.max(...items.map((i) => i.h)) + SNAP;
  const span = (f) => Math.max(...items.map(f)) - Math.min(...items.map(f));
  const [bw, bh] = [span((i) => i.cx), span((i) => i.cy)];
  // At scale s every room lies within (s bw + wide) x (s bh + high), which must hold them
  // all: a lower bound of one scale for both axes; start below it.
  const area = items.reduce((sum, i) => sum + i.w * i.h, 0) - wide * high;
  const [a, b] = [bw * bh, bw * high + bh * wide];
  const bound = a > 0 ? (-b + Math.sqrt(b * b + 4 * a * area)) / (2 * a) : b > 0 ? area / b : MAX_SPREAD;
  let scale = Math.min(MAX_SPREAD, Math.max(bound / 4, 1e-6));
  for (;;) {
    const need = overlapScales(items, scale, wide, high);
    if (need !== null) return need;
    if (scale === MAX_SPREAD) return [scale, scale];
    scale = Math.min(MAX_SPREAD, scale * 2); // far too crowded to compare pairs
  }
}

/** A map from grid cells of `wide` x `high` to the items whose (x, y) fall in them. */
function cellIndex(items, wide, high, at) {
  const cells = new Map();
  const cell = (x, y) => Math.floor(x / wide) * 4194304 + Math.floor(y / high);
  const add = (i) => {
    const [x, y] = at(i);
    const k = cell(x, y);
    const list = cells.get(k);
    if (list) list.push(i);
    else cells.set(k, [i]);
  };
  items.forEach(add);
  /** The first item near (x, y) that `hit` accepts, or null. */
  const near = (x, y, hit) => {
    const k = cell(x, y);
    for (const dx of [-4194304, 0, 4194304]) {
      for (const dy of [-1, 0, 1]) {
        const found = (cells.get(k + dx + dy) || []).find(hit);
        if (found) return found;
      }
    }
    return null;
  };
  return { add, near };
}

/** The scales [x, y], from `scale` up, that separate every pair of items overlapping at
 * `scale` (pairs that MAX_SPREAD cannot separate are left to settle), or null when too
 * many pairs crowd to compare them. */
function overlapScales(items, scale, wide, high) {
  const index = cellIndex(items, wide, high, (i) => [i.cx * scale, i.cy * scale]);
  let [sx, sy] = [scale, scale];
  let pairs = 0;
  for (const i of items) {
    index.near(i.cx * scale, i.cy * scale, (j) => {
      pairs += 1;
      if (j === i) return false;
      const [dx, dy] = [Math.abs(i.cx - j.cx), Math.abs(i.cy - j.cy)];
      const [w, h] = [(i.w + j.w) / 2 + SNAP, (i.h + j.h) / 2 + SNAP];
      if (dx * scale >= w || dy * scale >= h) return false;
      const [nx, ny] = [dx ? w / dx : Infinity, dy ? h / dy : Infinity];
      if (Math.min(nx, ny) > MAX_SPREAD) return false;
      if (nx / sx <= ny / sy) sx = Math.max(sx, nx);
      else sy = Math.max(sy, ny);
      return false;
    });
    if (pairs > PAIRS_PER_INSTANCE * items.length) return null;
  }
  return [sx, sy];
}

/** Move the movable items that still overlap another (instances at one place in the layout)
 * beside it, or else into rows below everything; the others stay. */
function settle(items, movable) {
  const wide = Math.max(...items.map((i) => i.w), 1);
  const high = Math.max(...items.map((i) => i.h), 1);
  const index = cellIndex(items.filter((i) => !movable(i)), wide, high, (i) => [i.x, i.y]);
  const clear = (i, x, y) => !index.near(x, y, (j) => Math.abs(x - j.x) < (i.w + j.w) / 2 && Math.abs(y - j.y) < (i.h + j.h) / 2);
  const left = [];
  for (const i of items.filter(movable)) {
    const spot = [[0, 0], [1, 0], [-1, 0], [0, -1], [0, 1], [1, -1], [-1, -1], [1, 1], [-1, 1]]
      .map(([kx, ky]) => [i.x + kx * (wide + SNAP), i.y + ky * (high + SNAP)])
      .find(([x, y]) => clear(i, x, y));
    if (!spot) {
      left.push(i);
      continue;
    }
    [i.x, i.y] = spot;
    index.add(i);
  }
  if (!left.length) return;
  const x0 = Math.min(...items.map((i) => i.x));
  const y0 = Math.min(...items.filter((i) => !left.includes(i)).map((i) => i.y)) - 2 * high;
  const columns = Math.ceil(Math.sqrt(left.length));
  left.forEach((i, k) => {
    [i.x, i.y] = [x0 + (k % columns) * (wide + SNAP), y0 - Math.floor(k / columns) * (high + SNAP)];
  });
}

// ---------------------------------------------------------------- view

/** The view: screen = (world - origin) * scale. */
export const defaultView = () => ({ x: -400, y: -300, scale: 1 });

export const toWorld = (view, sx, sy) => [view.x + sx / view.scale, view.y + sy / view.scale];

/** Scales a zoom stays within, unless the view fitted to the circuit lies beyond them. */
const [MIN_SCALE, MAX_SCALE] = [0.05, 8];

/** Zoom by `factor` keeping the world point under (sx, sy) in place; out as far as the view
 * fitted to the circuit (its scale `fitted`) when that lies below the least scale, and never
 * the other way (a step out of a view below the least leaves it as it is). */
export function zoomAt(view, sx, sy, factor, fitted = MIN_SCALE) {
  const [low, high] = [Math.min(MIN_SCALE, fitted, view.scale), Math.max(MAX_SCALE, view.scale)];
  const scale = Math.min(high, Math.max(low, view.scale * factor));
  const [wx, wy] = toWorld(view, sx, sy);
  return { x: wx - sx / scale, y: wy - sy / scale, scale };
}

/** The view moved (at its scale) to centre the world point (x, y) (layout y up) when that lies
 * outside its `margin` pixels from the edges of a width x height viewport; else the view itself. */
export function showPoint(view, x, y, width, height, margin = 60) {
  const [sx, sy] = [(x - view.x) * view.scale, (-y - view.y) * view.scale];
  if (sx >= margin && sx <= width - margin && sy >= margin && sy <= height - margin) return view;
  return { ...view, x: x - width / 2 / view.scale, y: -y - height / 2 / view.scale };
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
