// Wiring: the editor's state, the user's actions as updates of it, and the
// views drawn from it. All state lives in `state`; every edit of the circuit
// goes through the pure functions of model.js and the undo history.

import * as model from "./model.js";
import * as service from "./service.js";
import { createCanvas } from "./canvas.js";
import { createCheckList, createInspector } from "./inspector.js";
import { createHeader } from "./header.js";
import { createNameBox } from "./namebox.js";
import { createPalette } from "./palette.js";
import { defaultView, drawFromLayout, fitView, pan, showPoint, symbolRoom, zoomAt } from "./geometry.js";

const GRID = 10;
const snap = (v) => Math.round(v / GRID) * GRID;
/** Two clicks on one instance within this time are a double-click (the drag's pointer
 * capture keeps the browser's own dblclick from reaching the instance). */
const DOUBLE_CLICK_MS = 500;
const NO_FLAGS = { instances: new Set(), links: new Set() };

const state = {
  path: null, // the open circuit, relative to the project without ".pic.yml"
  sourceDir: "",
  circuits: [],
  history: model.newHistory(model.emptyCircuit()),
  kit: { components: [], cross_sections: [] },
  kitPorts: {}, // component -> extended ports record
  kitSettings: {}, // component -> settings description
  strategies: { strategies: {}, refs: {} },
  view: defaultView(),
  selected: new Set(),
  selectedLinks: new Set(),
  port: null, // selected port endpoint
  // the last check: {circuit: the circuit checked, title, findings, flagged, error}; its
  // findings are stale (and highlight nothing) while the circuit shown is another one
  checked: null,
  layouts: [], // the project's GDS and OASIS files, for "Check a layout"
  clipboard: null,
  drag: null,
  busy: false,
};

const loading = new Map(); // component -> promise of its ports and symbol

const circuit = () => state.history.present;
const set = (patch) => Object.assign(state, patch);
const drawingElement = document.querySelector("#canvas");
const focusDrawing = () => drawingElement.focus({ preventScroll: true });
/** Let edits asked for by the events just handled (a field left by a click) land first. */
const settled = () => new Promise((resolve) => setTimeout(resolve, 0));

// ------------------------------------------------------------ views

const header = createHeader(document.querySelector("header"), {
  open: (path) => openCircuit(path),
  create: (name) => createCircuit(name),
  save: () => save(),
  check: () => checkBuilt(),
  undo: () => edit(model.undo, true),
  redo: () => edit(model.redo, true),
  fit: () => fit(),
});

const canvas = createCanvas(document.querySelector("#canvas"), {
  press: (name) => {
    if (!state.selected.has(name)) set({ selected: new Set([name]), selectedLinks: new Set(), port: null });
    set({ drag: { start: circuit(), names: [...state.selected] } });
    render();
  },
  clicked: (name) => {
    const now = performance.now();
    const again = lastClick !== null && lastClick.name === name && now - lastClick.at < DOUBLE_CLICK_MS;
    lastClick = again ? null : { name, at: now };
    set({ selected: new Set([name]), drag: null });
    render();
    if (again) renameInPlace(name);
  },
  toggle: (name) => {
    const selected = new Set(state.selected);
    if (!selected.delete(name)) selected.add(name);
    set({ selected, port: null });
    render();
  },
  drag: (dx, dy) => {
    const { start, names } = state.drag;
    set({ history: model.preview(state.history, model.moveInstances(start, names, snap(dx), snap(dy))) });
    render();
  },
  dragEnd: () => {
    set({ history: model.commit(state.history, circuit(), state.drag.start), drag: null });
    render();
  },
  boxSelect: (names, add, empty) => {
    const selected = add ? new Set([...state.selected, ...names]) : new Set(names);
    set({ selected: empty && !add ? new Set() : selected, selectedLinks: new Set(), port: null });
    render();
  },
  selectLink: (k, add) => {
    const selectedLinks = add ? new Set(state.selectedLinks) : new Set();
    if (add && selectedLinks.has(k)) selectedLinks.delete(k);
    else selectedLinks.add(k);
    set({ selectedLinks, selected: add ? state.selected : new Set(), port: null });
    render();
  },
  selectPort: (endpoint) => {
    set({ port: endpoint, selected: new Set(), selectedLinks: new Set() });
    render();
  },
  connect: (a, b) => connect(a, b),
  rename: (name) => renameInPlace(name),
  zoom: (x, y, factor) => {
    const [w, h] = canvas.size();
    set({ view: zoomAt(state.view, x, y, factor, fitView(circuit().instances, w, h).scale) });
    render();
  },
  pan: (dx, dy) => {
    set({ view: pan(state.view, dx, dy) });
    render();
  },
});

let lastClick = null;

function rename(from, to) {
  edit((h) => model.commit(h, model.renameInstance(circuit(), from, to)));
  set({ selected: new Set([to]) });
  render();
}

const nameBox = createNameBox(document.querySelector("#stage"), {
  problemOf: (to) => model.nameProblem(circuit().instances, to),
  rename,
  done: focusDrawing,
});

/** Rename an instance in a field over it on the drawing. */
function renameInPlace(name) {
  const inst = circuit().instances[name];
  if (!inst || nameBox.isOpen()) return;
  set({ selected: new Set([name]), selectedLinks: new Set(), port: null });
  render();
  const v = state.view;
  nameBox.open(name, (inst.x - v.x) * v.scale, (-inst.y - v.y) * v.scale);
}

const inspector = createInspector(document.querySelector("#inspector"), {
  rename,
  component: async (name, component) => {
    edit((h) => model.commit(h, model.setComponent(circuit(), name, component)));
    await ensureComponents([component]);
    loadSettings(component);
    render();
  },
  setting: (name, key, value) => edit((h) => model.commit(h, model.setSetting(circuit(), name, key, value))),
  reset: (name, key) => edit((h) => model.commit(h, model.resetSetting(circuit(), name, key))),
  external: (name, endpoint) => edit((h) => model.commit(h, model.setExternalPort(circuit(), name, endpoint))),
  bundle: (strategy) => {
    const name = model.freeName(circuit().bundles, "bundle");
    edit((h) => model.commit(h, model.makeBundle(circuit(), [...state.selectedLinks], name, strategy)));
  },
  bundleSettings: (name, settings) => {
    const bundle = circuit().bundles[name];
    edit((h) => model.commit(h, model.setBundle(circuit(), name, bundle.strategy, settings)));
  },
  bundleStrategy: (name, strategy) => {
    // the settings the new strategy has are kept, the others would be refused by the build
    const params = (state.strategies.strategies || {})[strategy] || {};
    const settings = Object.fromEntries(Object.entries(circuit().bundles[name].settings).filter(([k]) => k in params));
    edit((h) => model.commit(h, model.setBundle(circuit(), name, strategy, settings)), true);
  },
  unbundle: () => edit((h) => model.commit(h, model.unbundle(circuit(), [...state.selectedLinks])), true),
});

const checks = createCheckList(document.querySelector("#checks"), {
  onPick: (item) => {
    set({ selected: new Set((item.instances || []).filter((n) => circuit().instances[n])), selectedLinks: new Set(), port: null });
    render();
  },
  onCheckLayout: (layout, cell) => checkLayout(layout, cell),
  onListLayouts: () => refreshLayouts(),
});

const palette = createPalette(document.querySelector("#palette"), {
  symbolUrl: service.symbolUrl,
  onDrop: (component, clientX, clientY) => place(component, clientX, clientY),
});

function choicesFor(marker) {
  if (marker === "@cross_section") return state.kit.cross_sections;
  if (marker === "@component") return state.kit.components;
  return null;
}

function inspectorView() {
  const c = circuit();
  if (state.port) {
    const [name, port] = model.splitEndpoint(state.port);
    const inst = c.instances[name];
    const record = inst && (state.kitPorts[inst.component] || {})[port];
    return { kind: "port", key: state.port, ref: c.ports, endpoint: state.port, ports: c.ports, type: record ? record.port_type : "optical" };
  }
  if (state.selected.size === 1) {
    const [name] = state.selected;
    const inst = c.instances[name];
    if (inst) {
      const settings = state.kitSettings[inst.component];
      const nameProblem = (to) => model.nameProblem(c.instances, to);
      const known = state.kit.components.includes(inst.component);
      return { kind: "instance", key: `${name}:${Boolean(settings)}`, ref: inst, name, inst, settings, known, components: state.kit.components, choicesFor, nameProblem };
    }
  }
  if (state.selectedLinks.size) {
    const links = [...state.selectedLinks].map((k) => c.links[k]).filter(Boolean);
    if (links.length) {
      return { kind: "links", key: [...state.selectedLinks].join(","), ref: c, links, bundles: c.bundles, strategies: state.strategies, choicesFor };
    }
  }
  const count = Object.keys(c.instances).length;
  return { kind: "circuit", key: `${state.path}:${count}:${c.links.length}`, ref: c.ports, path: state.path, count, links: c.links.length, ports: Object.keys(c.ports).length };
}

const plural = (n, word) => `${n} ${word}${n === 1 ? "" : "s"}`;

/** The highlights of the last check, while the circuit is the one it checked. */
const currentFlags = () => (state.checked && state.checked.circuit === circuit() && state.checked.flagged) || NO_FLAGS;

function showChecks() {
  const c = circuit();
  const warnings = model.warnings(c, state.kit.components, state.kitPorts, state.kitSettings).map((w) => ({ ...w, category: "Warning", kind: "info" }));
  const checked = state.checked;
  if (!checked) {
    checks.show(plural(warnings.length, "warning"), warnings, "info");
    return;
  }
  const stale = checked.circuit !== c;
  const staleNote = stale ? " (stale: the circuit changed since; check again)" : "";
  if (checked.error) {
    checks.show(`${checked.title}: failed${staleNote}`, [{ category: "Error", text: checked.error, kind: "error" }, ...warnings], "error");
    return;
  }
  const findings = checked.findings.map((f) => ({ ...f, text: f.texts.join("; "), kind: stale ? "stale" : "finding" }));
  const verdict = findings.length ? plural(findings.length, "finding") : "no findings";
  checks.show(`${checked.title}: ${verdict}${staleNote}`, [...findings, ...warnings], stale ? "stale" : findings.length ? "finding" : "ok");
}

let lastChecked = null;

function render() {
  const c = circuit();
  canvas.render({ circuit: c, kitPorts: state.kitPorts, view: state.view, selected: state.selected, selectedLinks: state.selectedLinks, port: state.port, flagged: currentFlags() });
  header.showState({ path: state.path, dirty: model.isDirty(state.history), canUndo: state.history.past.length > 0, canRedo: state.history.future.length > 0, busy: state.busy });
  checks.setBusy(state.busy || !state.path);
  const view = inspectorView();
  inspector.show(view);
  if (view.kind === "instance" && !view.settings) loadSettings(view.inst.component);
  if (!state.drag && lastChecked !== c) {
    lastChecked = c;
    showChecks();
  }
}

// ------------------------------------------------------------ edits

/** Apply a history update (an edit, undo or redo) and redraw. */
function edit(update, keepSelection = false) {
  set({ history: update(state.history) });
  const c = circuit();
  const selected = new Set([...state.selected].filter((n) => c.instances[n]));
  const selectedLinks = keepSelection ? new Set([...state.selectedLinks].filter((k) => k < c.links.length)) : state.selectedLinks;
  set({ selected, selectedLinks });
  render();
}

/** The type of a port of `c` as the kit describes it, "" when the kit does not say. */
function knownPortType(c, endpointText) {
  const [name, port] = model.splitEndpoint(endpointText);
  const inst = c.instances[name];
  const record = inst && (state.kitPorts[inst.component] || {})[port];
  return record ? record.port_type : "";
}

function portType(endpointText) {
  const [name, port] = model.splitEndpoint(endpointText);
  const inst = circuit().instances[name];
  const record = inst && (state.kitPorts[inst.component] || {})[port];
  return record ? record.port_type : "optical";
}

function connect(a, b) {
  const [ta, tb] = [portType(a), portType(b)];
  const problem = model.linkProblem(circuit(), a, b, ta, tb);
  if (problem) {
    header.showStatus(`Not connected: ${problem}.`, "error");
    return;
  }
  edit((h) => model.commit(h, model.addLink(circuit(), a, b, ta !== "optical")));
  header.showStatus(`Connected ${a} to ${b}.`);
}

async function place(component, clientX, clientY) {
  const [w, h] = canvas.size();
  const at = clientX === null ? [state.view.x + w / 2 / state.view.scale, -(state.view.y + h / 2 / state.view.scale)] : canvas.worldAt(clientX, clientY);
  if (!at) return;
  await ensureComponents([component]);
  const name = model.freeName(circuit().instances, component);
  edit((hist) => model.commit(hist, model.addInstance(circuit(), component, snap(at[0]), snap(at[1]), name)));
  set({ selected: new Set([name]), selectedLinks: new Set(), port: null });
  render();
  focusDrawing(); // R, M and Delete now act on the new instance
  loadSettings(component);
}

const selection = () => [...state.selected];

const nudge = (dx, dy) => (event) => {
  const step = event.shiftKey ? GRID * 10 : GRID;
  edit((h) => model.commit(h, model.moveInstances(circuit(), selection(), dx * step, dy * step)));
};

/** With the keyboard alone: select the next (Shift: the previous) instance in reading order,
 * or link, and bring it into view; Tab then reaches its fields in the inspector. */
function selectNextInstance(event) {
  const c = circuit();
  const [current] = state.selected.size === 1 ? state.selected : [null];
  const name = model.stepThrough(model.readingOrder(c.instances), current, event.shiftKey ? -1 : 1);
  if (name === null) return;
  const { x, y } = c.instances[name];
  set({ selected: new Set([name]), selectedLinks: new Set(), port: null, view: showPoint(state.view, x, y, ...canvas.size()) });
  render();
}

function selectNextLink(event) {
  const c = circuit();
  const [current] = state.selectedLinks.size === 1 ? state.selectedLinks : [null];
  const k = model.stepThrough([...c.links.keys()], current, event.shiftKey ? -1 : 1);
  if (k === null) return;
  const ends = [c.links[k].a, c.links[k].b].map((e) => c.instances[model.splitEndpoint(e)[0]]).filter(Boolean);
  const view = ends.length ? showPoint(state.view, (ends[0].x + ends[ends.length - 1].x) / 2, (ends[0].y + ends[ends.length - 1].y) / 2, ...canvas.size()) : state.view;
  set({ selected: new Set(), selectedLinks: new Set([k]), port: null, view });
  render();
}

const keys = {
  n: selectNextInstance,
  l: selectNextLink,
  r: () => edit((h) => model.commit(h, model.rotateInstances(circuit(), selection()))),
  m: () => edit((h) => model.commit(h, model.mirrorInstances(circuit(), selection()))),
  f: () => fit(),
  Delete: () => {
    edit((h) => model.commit(h, model.deleteItems(circuit(), selection(), [...state.selectedLinks])));
    set({ selected: new Set(), selectedLinks: new Set() });
    render();
  },
  Escape: () => {
    set({ selected: new Set(), selectedLinks: new Set(), port: null });
    render();
  },
  ArrowLeft: nudge(-1, 0),
  ArrowRight: nudge(1, 0),
  ArrowUp: nudge(0, 1),
  ArrowDown: nudge(0, -1),
};
keys.Backspace = keys.Delete;

const ctrlKeys = {
  z: (shift) => edit(shift ? model.redo : model.undo, true),
  y: () => edit(model.redo, true),
  s: () => save(),
  c: () => set({ clipboard: model.copyItems(circuit(), selection()) }),
  v: () => {
    if (!state.clipboard) return;
    const [next, names] = model.pasteItems(circuit(), state.clipboard, 40, -40);
    edit((h) => model.commit(h, next));
    set({ selected: new Set(names), clipboard: model.copyItems(next, names) });
    render();
  },
  a: () => {
    set({ selected: new Set(Object.keys(circuit().instances)) });
    render();
  },
};

// Ctrl+S saves wherever the focus is; every other shortcut acts only while the drawing
// has the focus, so that keys typed into a field, or after one, never edit the circuit.
document.addEventListener("keydown", (event) => {
  const ctrl = event.ctrlKey || event.metaKey;
  const key = event.key.length === 1 ? event.key.toLowerCase() : event.key;
  if (ctrl && key === "s") {
    event.preventDefault();
    if (event.target !== document.body && typeof event.target.blur === "function") event.target.blur(); // commits the value being typed first
    save();
  } else if (event.target !== drawingElement || event.altKey) {
    return;
  } else if (ctrl && ctrlKeys[key]) {
    event.preventDefault();
    ctrlKeys[key](event.shiftKey);
  } else if (!ctrl && keys[key]) {
    event.preventDefault();
    keys[key](event);
  }
});

// A press on the drawing gives it the focus (its own handlers prevent the browser's default).
drawingElement.addEventListener("pointerdown", focusDrawing, true);

window.addEventListener("beforeunload", (event) => {
  if (model.isDirty(state.history)) {
    event.preventDefault();
    event.returnValue = "";
  }
});

// ------------------------------------------------------------ loading

function ensureComponents(components) {
  const missing = [...new Set(components)].filter((c) => !loading.has(c));
  for (const component of missing) {
    const ports = service.loadPorts(component).catch(() => ({}));
    const symbol = service.loadSymbol(component).catch(() => "");
    loading.set(
      component,
      Promise.all([ports, symbol]).then(([record, text]) => {
        if (text) canvas.addSymbol(component, text);
        state.kitPorts = { ...state.kitPorts, [component]: record };
      }),
    );
  }
  return Promise.all([...new Set(components)].map((c) => loading.get(c)));
}

const settingsAsked = new Set();

async function loadSettings(component) {
  if (settingsAsked.has(component)) return;
  settingsAsked.add(component);
  try {
    const described = await service.loadSettings(component); // not inside the spread: loads run side by side
    state.kitSettings = { ...state.kitSettings, [component]: described };
  } catch (error) {
    state.kitSettings = { ...state.kitSettings, [component]: {} };
    header.showStatus(`Cannot load the settings of ${component}: ${error.message}`, "error");
  }
  lastChecked = null; // the warnings name the settings the kit does not know
  render();
}

function fit() {
  const [w, h] = canvas.size();
  set({ view: fitView(circuit().instances, w, h) });
  render();
}

async function refreshCircuits() {
  const listed = await service.listCircuits();
  set({ circuits: listed.circuits, sourceDir: listed.source_dir });
  header.showCircuits(state.circuits, state.path);
}

/** A circuit's document and, when its drawing lacks instances, the promise of where its layout
 * puts them: asked for as soon as the document is in, while the rest of the page loads. */
function loadDrawing(path) {
  return service.loadCircuit(path).then((doc) => {
    const undrawn = model.undrawnInstances(doc);
    const placed = undrawn.length ? service.loadPlacements(doc.netlist) : null;
    if (placed) placed.catch(() => {}); // answered once the ports are known
    return { doc, undrawn, placed };
  });
}

async function openCircuit(path, fetched = null) {
  if (model.isDirty(state.history) && !window.confirm(`Discard the unsaved edits of ${state.path}?`)) {
    header.showCircuits(state.circuits, state.path);
    return;
  }
  header.showStatus(`Opening ${path}…`);
  let doc, undrawn, placed;
  try {
    ({ doc, undrawn, placed } = await (fetched || loadDrawing(path)));
  } catch (error) {
    header.showStatus(`Cannot open ${path}: ${error.message}`, "error");
    return;
  }
  let loaded = model.fromDocument(doc);
  const components = [...new Set(Object.values(loaded.instances).map((i) => i.component))];
  await ensureComponents(components);
  for (const component of components) if (state.kit.components.includes(component)) loadSettings(component); // for the warnings
  loaded = model.withPortKinds(loaded, (e) => knownPortType(loaded, e));
  let note = "";
  if (placed) [loaded, note] = await drawnFromLayout(loaded, undrawn, placed);
  set({ path, history: model.newHistory(loaded), selected: new Set(), selectedLinks: new Set(), port: null, checked: null });
  window.location.hash = path;
  header.showCircuits(state.circuits, path);
  fit();
  header.showStatus(`Opened ${path}: ${Object.keys(loaded.instances).length} instances, ${loaded.links.length} links.${note}`);
  // Marks for the benchmark: drawn (the DOM is complete), painted (after the next frame).
  performance.mark("quillon:drawn");
  requestAnimationFrame(() => setTimeout(() => performance.mark("quillon:painted")));
}

/** The circuit with its `undrawn` instances drawn where the layout puts them (`placed`: the
 * promise of the service's answer), and a note for the status when it cannot be done. */
async function drawnFromLayout(circuit, undrawn, placed) {
  let answer;
  try {
    answer = (await placed).instances;
  } catch (error) {
    return [circuit, ` Drawn in a grid: ${error.message}`];
  }
  const rooms = {};
  const drawn = {};
  const missing = new Set(undrawn);
  for (const [name, inst] of Object.entries(circuit.instances)) {
    rooms[name] = symbolRoom(state.kitPorts[inst.component]);
    if (!missing.has(name)) drawn[name] = inst;
  }
  const known = Object.fromEntries(Object.entries(answer).filter(([name]) => circuit.instances[name]));
  return [model.placeInstances(circuit, drawFromLayout(known, rooms, drawn), known), ""];
}

async function createCircuit(name) {
  const path = `${state.sourceDir}/${name.replace(/\.pic\.yml$/, "")}`;
  if (!/^[A-Za-z0-9_][A-Za-z0-9_/-]*$/.test(name)) {
    header.showStatus(`Cannot create "${name}": use letters, digits, _ - and /.`, "error");
    return;
  }
  if (state.circuits.includes(path)) {
    if (window.confirm(`${path} exists already. Open it instead? (It is not replaced.)`)) await openCircuit(path);
    return;
  }
  if (model.isDirty(state.history) && !window.confirm(`Discard the unsaved edits of ${state.path}?`)) return;
  set({ path, history: model.newHistory(model.emptyCircuit()), selected: new Set(), selectedLinks: new Set(), port: null, checked: null });
  header.clearNewName();
  window.location.hash = path;
  await save();
}

async function save() {
  await settled();
  if (!state.path || state.busy) return false;
  const saving = circuit();
  set({ busy: true });
  render();
  try {
    await service.saveCircuit(state.path, model.toDocument(saving));
    set({ history: model.markSaved(state.history, saving), busy: false });
    render();
    header.showStatus(`Saved ${state.path}.`, "ok");
    await refreshCircuits().catch(() => {});
    return true;
  } catch (error) {
    header.showStatus(`Save failed: ${error.message}. Your edits are kept.`, "error");
    return false;
  } finally {
    set({ busy: false });
    render();
  }
}

function flag(findings) {
  const instances = new Set(findings.flatMap((f) => f.instances));
  const pairs = new Set(findings.flatMap((f) => f.connections.map(([a, b]) => `${a}|${b}`)));
  const links = new Set();
  circuit().links.forEach((l, k) => {
    if (pairs.has(`${l.a}|${l.b}`) || pairs.has(`${l.b}|${l.a}`)) links.add(k);
  });
  return { instances, links };
}

/** Save the edits, then run a check of the saved circuit and show its outcome: the
 * findings in the checks panel (their instances and links highlighted), or its error in
 * full there; the header only says how it went. */
async function runCheck(title, running, request) {
  await settled();
  if (!state.path || state.busy) return;
  if (model.isDirty(state.history) && !(await save())) return;
  const checkedCircuit = circuit();
  set({ busy: true });
  render();
  header.showStatus(`${running}…`);
  try {
    const result = await request();
    set({ checked: { circuit: checkedCircuit, title, findings: result.findings, flagged: flag(result.findings), error: "" } });
    const count = result.findings.length;
    header.showStatus(count ? `${title}: ${plural(count, "finding")} in ${result.cell} (report ${result.report}).` : `${title}: no findings, ${result.cell} matches the circuit.`, count ? "error" : "ok");
  } catch (error) {
    set({ checked: { circuit: checkedCircuit, title, findings: [], flagged: NO_FLAGS, error: error.message } });
    header.showStatus(`${title} failed: see the checks panel.`, "error");
  } finally {
    lastChecked = null;
    set({ busy: false });
    render();
  }
}

/** Build the layout from the saved circuit and check that build against the circuit. */
const checkBuilt = () => runCheck("Check of the built layout", `Building ${state.path} and checking the build`, () => service.buildAndCheck(state.path));

/** Check a layout file of the project (the designer's own) against the saved circuit. */
async function checkLayout(layout, cell) {
  await runCheck(`Check of ${layout}`, `Checking ${layout} against ${state.path}`, () => service.checkLayout(state.path, layout, cell));
  refreshLayouts();
}

async function refreshLayouts() {
  try {
    set({ layouts: (await service.listLayouts()).layouts });
  } catch {
    set({ layouts: [] });
  }
  checks.showLayouts(state.layouts);
}

async function start() {
  // the circuit named in the address loads while the kit and the project are asked for
  const wanted = decodeURIComponent(window.location.hash.slice(1));
  const early = wanted ? loadDrawing(wanted) : null;
  if (early) early.catch(() => {});
  try {
    const strategies = service.loadStrategies().catch(() => ({ strategies: {}, refs: {} }));
    const [kit] = await Promise.all([service.loadKit(), refreshCircuits(), refreshLayouts()]);
    set({ kit, strategies: await strategies });
    palette.show(kit.components, kit.descriptions || {});
  } catch (error) {
    header.showStatus(`Cannot reach the service: ${error.message}`, "error");
    return;
  }
  const path = state.circuits.includes(wanted) ? wanted : state.circuits[0];
  if (path) await openCircuit(path, path === wanted ? early : null);
  else {
    render();
    header.showStatus(`No circuits yet in ${state.sourceDir}/: name one and press New.`);
  }
}

window.addEventListener("hashchange", async () => {
  const wanted = decodeURIComponent(window.location.hash.slice(1));
  if (!wanted || wanted === state.path) return;
  await refreshCircuits().catch(() => {});
  if (state.circuits.includes(wanted)) await openCircuit(wanted);
  else header.showStatus(`There is no circuit ${wanted} in the project.`, "error");
});

start();
