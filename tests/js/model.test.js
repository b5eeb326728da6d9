// Unit tests of the editor's circuit model (model.js) and of the pure helpers of its
// panels, with node's own test runner. Run by tests/test_editor_model_js.py, which
// copies the shipped modules beside these tests.

import assert from "node:assert/strict";
import { test } from "node:test";

import * as model from "../editor/model.js";
import { limitProblem, parseSetting } from "../editor/inspector.js";
import { matches, searchWords } from "../editor/palette.js";

const two = () => {
  let c = model.addInstance(model.emptyCircuit(), "mmi1x2", 0, 0, "a");
  c = model.addInstance(c, "straight", 100, 0, "b");
  return model.addLink(c, "a,o2", "b,o1", false);
};

test("edits return new circuits and keep what they did not change", () => {
  const c = two();
  const moved = model.moveInstances(c, ["a"], 12.4, -3.6);
  assert.deepEqual([moved.instances.a.x, moved.instances.a.y], [12, -4]);
  assert.equal(moved.instances.b, c.instances.b);
  assert.equal(c.instances.a.x, 0);
  assert.equal(model.rotateInstances(c, ["a", "a"]).instances.a.rotation, 180);
  assert.equal(model.rotateInstances(model.rotateInstances(model.rotateInstances(model.rotateInstances(c, ["a"]), ["a"]), ["a"]), ["a"]).instances.a.rotation, 0);
});

test("names: free names, problems and renames that follow into links and ports", () => {
  const c = model.setExternalPort(two(), "in", "a,o1");
  assert.equal(model.freeName(c.instances, "mmi1x2"), "mmi1x2_1");
  assert.equal(model.freeName({ mmi1x2_1: {} }, "mmi1x2"), "mmi1x2_2");
  assert.equal(model.freeName({}, "2x2-mmi"), "_2x2_mmi_1");
  for (const [name, problem] of [["ok_1", ""], ["1st", "use letters"], ["a b", "use letters"], ["a", "already taken"], ["", "use letters"]]) {
    assert.match(model.nameProblem(c.instances, name), new RegExp(problem || "^$"));
  }
  const renamed = model.renameInstance(c, "a", "left");
  assert.deepEqual(Object.keys(renamed.instances), ["left", "b"]);
  assert.equal(renamed.links[0].a, "left,o2");
  assert.equal(renamed.ports.in, "left,o1");
  assert.equal(model.renameInstance(c, "a", "b"), c, "a taken name changes nothing");
});

test("links: one connection per optical port, kinds must agree", () => {
  const c = two();
  const cases = [
    ["a,o1", "a,o3", "optical", "optical", "its own instance"],
    ["a,o3", "b,o2", "optical", "electrical", "cannot connect an optical port to an electrical port"],
    ["a,o2", "b,o1", "optical", "optical", "already connected"],
    ["a,o2", "b,o2", "optical", "optical", "a,o2 is already connected"],
    ["a,o3", "b,o2", "optical", "optical", ""],
    ["a,e1", "b,e1", "electrical", "dc", ""],
  ];
  for (const [a, b, ta, tb, problem] of cases) {
    const found = model.linkProblem(c, a, b, ta, tb);
    if (problem) assert.match(found, new RegExp(problem.replace(/[.*+?^${}()|[\]\\]/g, "\\$&")), `${a} ${b}`);
    else assert.equal(found, "", `${a} ${b}`);
  }
});

test("deleting an instance drops its links, external ports and emptied bundles", () => {
  let c = model.addInstance(two(), "straight", 200, 0, "c");
  c = model.addLink(c, "b,o2", "c,o1", false);
  c = model.makeBundle(c, [1], "bundle_1", "route_bundle");
  c = model.setExternalPort(c, "out", "c,o2");
  const gone = model.deleteItems(c, ["c"]);
  assert.deepEqual(Object.keys(gone.instances), ["a", "b"]);
  assert.equal(gone.links.length, 1);
  assert.deepEqual(gone.ports, {});
  assert.deepEqual(gone.bundles, {});
  assert.equal(model.deleteItems(c, [], [0]).links.length, 1);
});

test("bundles: made, restrategised, unbundled; strategies offered by the ports they route", () => {
  let c = model.addLink(model.addInstance(two(), "straight", 0, 100, "c"), "a,o3", "c,o1", false);
  c = model.makeBundle(c, [0, 1], "bundle_1", "route_bundle");
  assert.deepEqual(c.links.map((l) => l.bundle), ["bundle_1", "bundle_1"]);
  c = model.setBundle(c, "bundle_1", "route_other", { separation: 5 });
  assert.deepEqual(c.bundles.bundle_1, { strategy: "route_other", settings: { separation: 5 } });
  const one = model.unbundle(c, [0]);
  assert.deepEqual(one.links.map((l) => l.bundle), [null, "bundle_1"]);
  const none = model.unbundle(one, [1]);
  assert.deepEqual(none.bundles, {}, "a bundle without links is dropped");
  const strategies = {
    route_bundle: { port_type: { default: "optical" } },
    route_bundle_electrical: { port_type: { default: "electrical" } },
    route_plain: { separation: { default: 3 } },
  };
  assert.deepEqual(model.fittingStrategies(strategies, false), ["route_bundle", "route_plain"]);
  assert.deepEqual(model.fittingStrategies(strategies, true), ["route_bundle_electrical"]);
});

test("link kinds follow their ports' types where the kit knows them", () => {
  let c = model.addLink(two(), "a,o3", "b,o2", true); // an optical pair read as electrical (its bundle's strategy)
  c = model.addLink(c, "a,e1", "x,e1", false);
  const types = { "a,o2": "optical", "b,o1": "optical", "a,o3": "optical", "b,o2": "optical", "a,e1": "electrical" };
  const settled = model.withPortKinds(c, (e) => types[e] || "");
  assert.deepEqual(settled.links.map((l) => l.electrical), [false, false, true]);
  assert.equal(settled.links[0], c.links[0]);
  assert.equal(model.withPortKinds(settled, (e) => types[e] || ""), settled, "nothing to change: the same circuit");
});

test("settings: set, reset, unknown ones found, components replaced", () => {
  let c = model.setSetting(two(), "b", "length", 20);
  c = model.setSetting(c, "b", "bogus", 3);
  assert.deepEqual(c.instances.b.settings, { length: 20, bogus: 3 });
  const description = { length: { default: 10, type: "float" } };
  assert.deepEqual(model.unknownSettings(c.instances.b, description), ["bogus"]);
  assert.deepEqual(model.unknownSettings(c.instances.b, undefined), [], "not described yet: nothing is unknown");
  assert.deepEqual(model.resetSetting(c, "b", "bogus").instances.b.settings, { length: 20 });
  const replaced = model.setComponent(c, "a", "mmi2x2");
  assert.equal(replaced.instances.a.component, "mmi2x2");
  assert.equal(replaced.links, c.links);
});

test("warnings: unknown components, unknown settings, unconnected ports", () => {
  let c = model.addInstance(two(), "nope", 0, 300, "x");
  c = model.setSetting(c, "b", "bogus", 3);
  const ports = { mmi1x2: { o1: {}, o2: {}, o3: {} }, straight: { o1: {}, o2: {} } };
  const settings = { straight: { length: {} } };
  const texts = model.warnings(c, ["mmi1x2", "straight"], ports, settings).map((w) => w.text);
  assert.deepEqual(texts, ["a: unconnected o1, o3", "b: unknown setting bogus", "b: unconnected o2", "x: unknown component nope"]);
});

test("documents: saved and read back, joined instances without placements", () => {
  let c = model.rotateInstances(two(), ["a"]);
  c = model.setSetting(c, "b", "length", 20);
  c = model.setExternalPort(c, "in", "a,o1");
  const doc = model.toDocument(c);
  assert.deepEqual(Object.keys(doc.netlist.placements), ["a"]);
  assert.deepEqual(doc.netlist.connections, { "a,o2": "b,o1" });
  assert.deepEqual(doc.netlist.instances.b, { component: "straight", settings: { length: 20 } });
  const back = model.fromDocument(JSON.parse(JSON.stringify(doc)));
  const drawn = (instances) => Object.fromEntries(Object.entries(instances).map(([n, { built: _, ...i }]) => [n, i]));
  assert.deepEqual(drawn(back.instances), c.instances);
  assert.deepEqual(back.links, c.links);
  assert.deepEqual(back.ports, c.ports);
});

test("a circuit drawn from its layout keeps its layout when saved, but for what is moved or turned", () => {
  const netlist = {
    instances: { p: { component: "pad" }, q: { component: "pad" }, r: { component: "pad" }, s: { component: "pad" }, j: { component: "pad" } },
    placements: { p: { x: 65, y: 200, rotation: 90 }, q: { x: 175.5, y: 200 } }, // r, s and j the build places
    connections: { "q,e1": "j,e3" }, routes: {}, nets: [], ports: {},
  };
  const layout = { p: [65, 200, 90], q: [175.5, 200, 0], r: [0, -300, 0], s: [100, -300, 0], j: [150, 200, 0] };
  const drawn = Object.fromEntries(Object.keys(layout).map((n, k) => [n, { x: 1000 * k, y: 500, rotation: layout[n][2], mirror: false }]));
  const where = Object.fromEntries(Object.entries(layout).map(([n, [x, y, rotation]]) => [n, { x, y, rotation, mirror: false }]));
  let c = model.placeInstances(model.fromDocument({ netlist }), drawn, where);
  c = model.moveInstances(c, ["q", "s"], 30, -20); // drawing units: micrometres in the layout
  c = model.rotateInstances(c, ["r"]);
  const saved = model.toDocument(c);
  assert.deepEqual(saved.netlist.placements, {
    p: { x: 65, y: 200, rotation: 90 }, q: { x: 205.5, y: 180 }, r: { x: 0, y: -300, rotation: 90 }, s: { x: 130, y: -320 },
  });
  assert.deepEqual(saved.schematic.instances.q, { x: 1030, y: 480 }); // the drawing as drawn
  // read back with its drawing, it saves the same again
  assert.deepEqual(model.toDocument(model.fromDocument(JSON.parse(JSON.stringify(saved)))).netlist.placements, saved.netlist.placements);
});

test("keyboard selection: instances in reading order, stepping around the ends", () => {
  let c = model.emptyCircuit();
  for (const [name, x, y] of [["low", 0, -100], ["right", 50, 0], ["left", -50, 0], ["top", 900, 100]]) c = model.addInstance(c, "pad", x, y, name);
  const order = model.readingOrder(c.instances);
  assert.deepEqual(order, ["top", "left", "right", "low"]);
  assert.deepEqual([[null, 1], [null, -1], ["low", 1], ["top", -1], ["left", 1]].map(([at, step]) => model.stepThrough(order, at, step)), ["top", "low", "top", "low", "right"]);
  assert.equal(model.stepThrough([], null, 1), null);
});

test("mirroring: M flips left to right as drawn, stored as the layout mirrors; older drawings read as drawn", () => {
  const c = two();
  for (const [turns, rotation] of [[0, 180], [1, 90], [2, 0], [3, 270]]) {
    let t = c;
    for (let k = 0; k < turns; k++) t = model.rotateInstances(t, ["a"]);
    const flipped = model.mirrorInstances(t, ["a"]).instances.a;
    assert.deepEqual([flipped.rotation, flipped.mirror], [rotation, true]);
    assert.deepEqual(model.mirrorInstances(model.mirrorInstances(t, ["a"]), ["a"]).instances.a, t.instances.a);
  }
  const netlist = { instances: { a: { component: "straight" } } };
  const place = { x: 0, y: 0, rotation: 90, mirror: true };
  assert.equal(model.fromDocument({ netlist, schematic: { instances: { a: place } } }).instances.a.rotation, 270);
  assert.equal(model.fromDocument({ netlist, schematic: { version: 2, instances: { a: place } } }).instances.a.rotation, 90);
  assert.equal(model.fromDocument({ netlist: { ...netlist, placements: { a: place } } }).instances.a.rotation, 90);
  assert.equal(model.toDocument(c).schematic.version, model.SCHEMATIC_VERSION);
});

test("odd documents load what they can", () => {
  for (const doc of [{}, { netlist: null }, { netlist: [] }, { netlist: { instances: [1, 2] } }, { netlist: { instances: { a: null }, nets: "x" } }]) {
    const c = model.fromDocument(doc);
    assert.ok(c.instances && Array.isArray(c.links));
  }
  const c = model.fromDocument({ netlist: { instances: { a: { component: "straight" } }, placements: { a: { x: "1", rotation: -90 } } } });
  assert.equal(typeof c.instances.a.x, "number");
  assert.equal(c.instances.a.rotation, 270);
});

test("history: commit, undo, redo, a drag as one step, the saved mark", () => {
  const start = two();
  let h = model.newHistory(start);
  assert.equal(model.isDirty(h), false);
  const dragStart = h.present;
  h = model.preview(h, model.moveInstances(dragStart, ["a"], 10, 0));
  h = model.preview(h, model.moveInstances(dragStart, ["a"], 20, 0));
  h = model.commit(h, h.present, dragStart);
  assert.equal(h.past.length, 1);
  assert.equal(model.isDirty(h), true);
  h = model.undo(h);
  assert.equal(h.present, start);
  assert.equal(model.isDirty(h), false);
  h = model.redo(h);
  assert.equal(h.present.instances.a.x, 20);
  assert.equal(model.commit(h, h.present).past.length, 1, "an unchanged circuit records nothing");
  h = model.markSaved(h, h.present);
  assert.equal(model.isDirty(h), false);
});

test("copy and paste: fresh names, the links among the copied", () => {
  const c = two();
  const clip = model.copyItems(c, ["a", "b"]);
  const [pasted, names] = model.pasteItems(c, clip, 40, -40);
  assert.deepEqual(names, ["mmi1x2_1", "straight_1"]);
  assert.deepEqual(pasted.links[1], { a: "mmi1x2_1,o2", b: "straight_1,o1", electrical: false, bundle: null });
  assert.deepEqual([pasted.instances.straight_1.x, pasted.instances.straight_1.y], [140, -40]);
});

test("setting values are parsed strictly, within the kit's limits", () => {
  const cases = [
    ["float", "7.5", {}, { value: 7.5 }],
    ["float", "-1e3", {}, { value: -1000 }],
    ["float", ".5", {}, { value: 0.5 }],
    ["float", "0x10", {}, { error: "expected a number" }],
    ["float", "Infinity", {}, { error: "expected a number" }],
    ["float", "1e400", {}, { error: "expected a number" }],
    ["int", "99999999999999999999", {}, { error: "expected a whole number" }],
    ["float", "", {}, { error: "expected a number" }],
    ["float", "1_0", {}, { error: "expected a number" }],
    ["float", "-5", { minimum: 0 }, { error: "must be at least 0" }],
    ["float", "0", { exclusive_minimum: 0 }, { error: "must be more than 0" }],
    ["float", "11", { maximum: 10 }, { error: "must be at most 10" }],
    ["int", "12", {}, { value: 12 }],
    ["int", "1.5", {}, { error: "expected a whole number" }],
    ["int", "0x10", {}, { error: "expected a whole number" }],
    ["float?", " ", {}, { value: null }],
    ["tuple[float, float]", "80, 80", {}, { value: [80, 80] }],
    ["tuple[float, float]", "[1, 2]", {}, { value: [1, 2] }],
    ["tuple[float, float]", "0x1, 2", {}, { error: "expected tuple[float,float], e.g. 10, 10" }],
    [["a", "b"], "b", {}, { value: "b" }],
    [["a", "b"], "c", {}, { error: "choose one of a, b" }],
    ["str", " keep ", {}, { value: " keep " }],
  ];
  for (const [type, text, spec, expected] of cases) assert.deepEqual(parseSetting(type, text, spec), expected, `${type} ${JSON.stringify(text)}`);
  assert.equal(limitProblem("text", { minimum: 0 }), "");
});

test("palette search matches names and descriptions, every word", () => {
  const cases = [
    ["splitter", "mmi1x2", "1x2 MMI splitter", true],
    ["MMI", "mmi2x2", "", true],
    ["grating coupler", "grating_coupler", "", true],
    ["grating splitter", "grating_coupler", "", false],
    ["grating", "grating_coupler", "", true],
    ["heater phase", "straight_heater_metal", "A thermal phase shifter", true],
    ["", "pad", "", true],
  ];
  for (const [text, name, description, expected] of cases) assert.equal(matches(searchWords(text), name, description), expected, text);
});
