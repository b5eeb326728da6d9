// Unit tests of the drawing's geometry (geometry.js): orientations and drawings made from
// a layout's placements.

import assert from "node:assert/strict";
import { test } from "node:test";

import { bodyBox, curvePath, curveWithin, drawFromLayout, showPoint, symbolLayout, symbolRoom, toScreen, toWorld, zoomAt } from "../editor/geometry.js";

test("a symbol turns as the layout turns: mirror about its x axis first, then the rotation", () => {
  // the symbol frame's point (1, 2) (screen y down) at each orientation, as the layout maps it
  const cases = [
    [0, false, [1, 2]], [90, false, [2, -1]], [180, false, [-1, -2]], [270, false, [-2, 1]],
    [0, true, [1, -2]], [90, true, [-2, -1]], [180, true, [-1, 2]], [270, true, [2, 1]],
  ];
  for (const [rotation, mirror, expected] of cases) {
    assert.deepEqual(toScreen({ x: 0, y: 0, rotation, mirror }, 1, 2).map((v) => v + 0), expected, `${rotation} ${mirror}`);
  }
});

const overlaps = (a, b) => a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;

test("drawn from the layout: order and orientation kept, no two symbols overlap", () => {
  const ports = { o1: { orientation: "w", index: 0 }, o2: { orientation: "e", index: 0 } };
  const layout = symbolLayout(ports);
  const cases = {
    "a joined chain": { a: [0, 0, 10, 2], b: [10, 0, 30, 2], c: [30, -1, 35, 3], d: [35, 0, 36, 2] },
    "a column and a far pad": { a: [0, 0, 10, 2], b: [0, 5, 10, 7], c: [0, 10, 10, 12], pad: [500, 400, 580, 480] },
    "two at one place": { a: [0, 0, 10, 10], b: [0, 0, 10, 10], c: [0, 0, 10, 10], d: [40, 0, 50, 10] },
  };
  for (const [name, boxes] of Object.entries(cases)) {
    const placed = Object.fromEntries(Object.entries(boxes).map(([n, box], k) => [n, { box, rotation: k % 2 ? 90 : 0, mirror: k === 2 }]));
    const rooms = Object.fromEntries(Object.keys(boxes).map((n) => [n, symbolRoom(ports)]));
    const drawn = drawFromLayout(placed, rooms);
    const bodies = Object.values(drawn).map((d) => bodyBox(d, layout));
    bodies.forEach((a, i) => bodies.slice(i + 1).forEach((b) => assert.ok(!overlaps(a, b), `${name}: bodies overlap`)));
    for (const [n, d] of Object.entries(drawn)) assert.deepEqual([d.rotation, d.mirror], [placed[n].rotation, placed[n].mirror]);
    if (name === "two at one place") continue;
    const centre = (n, axis) => (boxes[n][axis] + boxes[n][axis + 2]) / 2;
    for (const a of Object.keys(boxes)) {
      for (const b of Object.keys(boxes)) {
        if (centre(a, 0) < centre(b, 0)) assert.ok(drawn[a].x <= drawn[b].x, `${name}: ${a} left of ${b}`);
        if (centre(a, 1) < centre(b, 1)) assert.ok(drawn[a].y <= drawn[b].y, `${name}: ${a} below ${b}`);
      }
    }
  }
});

test("drawn from the layout beside a drawing: drawn instances stay, the others line up with them", () => {
  const placed = { a: { box: [0, 0, 10, 2], rotation: 0 }, b: { box: [100, 0, 110, 2], rotation: 0 } };
  const drawn = drawFromLayout(placed, {}, { a: { x: 1000, y: 500 } });
  assert.deepEqual(Object.keys(drawn), ["b"]);
  assert.equal(drawn.b.y, 500);
  assert.ok(drawn.b.x > 1000);
});

test("a wheel step zooms the way it turns, at the pointer, out as far as the circuit's fitted view", () => {
  const cases = [
    // scale, factor, the fitted view's scale, the scale after the step
    [1, 1.5, 1, 1.5], [1, 0.5, 1, 0.5], [0.06, 0.5, 1, 0.05], [7, 2, 1, 8], [10, 2, 1, 10], [10, 0.5, 1, 5],
    [0.005, 0.5, 1, 0.005], [0.005, 2, 1, 0.01], // below the least scale: never zoomed in by a step out
    [0.02, 0.5, 0.005, 0.01], [0.01, 0.25, 0.005, 0.005], // a large circuit: out to its fitted view
  ];
  for (const [scale, factor, fitted, expected] of cases) {
    const view = { x: 100, y: -50, scale };
    const zoomed = zoomAt(view, 300, 200, factor, fitted);
    assert.equal(zoomed.scale, expected, `${scale} x ${factor}`);
    toWorld(zoomed, 300, 200).forEach((v, k) => assert.ok(Math.abs(v - toWorld(view, 300, 200)[k]) < 1e-6));
  }
});

test("a point chosen with the keyboard is brought into view, centred, only when it lies outside", () => {
  const view = { x: 0, y: 0, scale: 2 };
  assert.equal(showPoint(view, 100, -100, 800, 600), view); // at (200, 200) on the screen
  for (const [x, y] of [[-50, -100], [100, 400], [1000, -100]]) {
    const shown = showPoint(view, x, y, 800, 600);
    assert.deepEqual([(x - shown.x) * 2, (-y - shown.y) * 2, shown.scale], [400, 300, 2]);
  }
});

test("a long link is drawn only where it crosses the view, its dashes placed as on the whole link", () => {
  const c = [0, 0, 3000, 0, 7000, 400, 10000, 400]; // x grows along it
  const view = { left: 4000, top: -1000, right: 5000, bottom: 1000 };
  const [path, offset] = curveWithin(c, view, 100);
  const part = path.match(/-?[\d.]+(e-?\d+)?/g).map(Number);
  assert.ok(part[0] < view.left && part[0] > view.left - 100 && part[6] > view.right && part[6] < view.right + 100, path);
  let [length, x, y] = [0, 0, 0]; // along the whole curve up to the part's start, finely
  for (let k = 1; x < part[0]; k++) {
    const t = k / 1e5;
    const [nx, ny] = [3 * (1 - t) ** 2 * t * 3000 + 3 * (1 - t) * t * t * 7000 + t ** 3 * 10000, 3 * (1 - t) * t * t * 400 + t ** 3 * 400];
    [length, x, y] = [length + Math.hypot(nx - x, ny - y), nx, ny];
  }
  assert.ok(Math.abs(offset - length) < 1, `${offset} ${length}`);
  assert.deepEqual(curveWithin(c, { left: -10, top: -10, right: 10010, bottom: 410 }, 100), [curvePath(c), 0]);
  assert.deepEqual(curveWithin(c, { left: 0, top: 2000, right: 100, bottom: 3000 }, 100), ["", 0]);
});
