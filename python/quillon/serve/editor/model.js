// The circuit model and its undo history: plain data and pure functions.
//
// A circuit:
//   instances: { name: { component, settings: {key: value}, x, y, rotation, mirror, built } }
//   links:     [ { a: "inst,port", b: "inst,port", electrical: bool, bundle: name|null } ]
//   bundles:   { name: { strategy, settings: {key: value} } }
//   ports:     { external name: "inst,port" }
// Positions are drawing units (the layout's micrometres for what the editor
// places) with y pointing up; rotation in degrees counter-clockwise; mirror as in
// the layout: about the instance's own x axis, before the rotation. `built`, when
// known, is where the layout had the instance when it was opened: {x, y (µm),
// rotation, mirror, placed: whether the netlist placed it (else the build did),
// at: [x, y] where it was drawn then}; saving keeps that placement but for the
// moves made since (see toDocument). Every function returns a new
// circuit and keeps the objects it did not change, so a drawing can compare
// by identity to find what changed.

export const emptyCircuit = () => ({ instances: {}, links: [], bundles: {}, ports: {} });

export const endpoint = (instance, port) => `${instance},${port}`;

export const splitEndpoint = (text) => {
  const at = text.lastIndexOf(",");
  return [text.slice(0, at), text.slice(at + 1)];
};

const NAME = /^[A-Za-z_][A-Za-z0-9_]*$/;

/** Why `name` cannot name a new instance (or bundle, or port), or "" when it can. */
export function nameProblem(taken, name) {
  if (!NAME.test(name)) return "use letters, digits and _ (not first a digit)";
  if (name in taken) return `"${name}" is already taken`;
  return "";
}

/** The first free name component_1, component_2, ... */
export function freeName(taken, component) {
  const base = component.replace(/[^A-Za-z0-9_]/g, "_").replace(/^(?=\d)/, "_");
  let n = 1;
  while (`${base}_${n}` in taken) n += 1;
  return `${base}_${n}`;
}

export function addInstance(circuit, component, x, y, name = freeName(circuit.instances, component)) {
  const instance = { component, settings: {}, x: Math.round(x), y: Math.round(y), rotation: 0, mirror: false };
  return { ...circuit, instances: { ...circuit.instances, [name]: instance } };
}

const mapInstances = (circuit, names, update) => {
  const instances = { ...circuit.instances };
  for (const name of names) if (instances[name]) instances[name] = update(instances[name]);
  return { ...circuit, instances };
};

export const moveInstances = (circuit, names, dx, dy) =>
  mapInstances(circuit, names, (i) => ({ ...i, x: Math.round(i.x + dx), y: Math.round(i.y + dy) }));

export const rotateInstances = (circuit, names) =>
  mapInstances(circuit, names, (i) => ({ ...i, rotation: (i.rotation + 90) % 360 }));

/** Flip instances left to right as drawn: the layout's mirror (about the x axis) turned by 180 degrees. */
export const mirrorInstances = (circuit, names) =>
  mapInstances(circuit, names, (i) => ({ ...i, rotation: (540 - i.rotation) % 360, mirror: !i.mirror }));

/** Instance names in reading order: top to bottom, then left to right (y points up). */
export const readingOrder = (instances) =>
  Object.keys(instances).sort((a, b) => instances[b].y - instances[a].y || instances[a].x - instances[b].x || (a < b ? -1 : 1));

/** The item `step` places after `current` in `items` (around the ends); the first or, going back, the last without one. */
export function stepThrough(items, current, step) {
  if (!items.length) return null;
  const at = items.indexOf(current);
  if (at < 0) return items[step > 0 ? 0 : items.length - 1];
  return items[(((at + step) % items.length) + items.length) % items.length];
}

const touches = (endpointText, names) => names.has(splitEndpoint(endpointText)[0]);

/** Remove instances (with their links and external ports) and links by index. */
export function deleteItems(circuit, instanceNames, linkIndexes = []) {
  const gone = new Set(instanceNames);
  const dropped = new Set(linkIndexes);
  const instances = Object.fromEntries(Object.entries(circuit.instances).filter(([n]) => !gone.has(n)));
  const links = circuit.links.filter((l, k) => !dropped.has(k) && !touches(l.a, gone) && !touches(l.b, gone));
  const ports = Object.fromEntries(Object.entries(circuit.ports).filter(([, e]) => !touches(e, gone)));
  return pruneBundles({ ...circuit, instances, links, ports });
}

function pruneBundles(circuit) {
  const used = new Set(circuit.links.map((l) => l.bundle).filter(Boolean));
  const bundles = Object.fromEntries(Object.entries(circuit.bundles).filter(([n]) => used.has(n)));
  return { ...circuit, bundles };
}

export function renameInstance(circuit, from, to) {
  if (from === to || !circuit.instances[from] || nameProblem(circuit.instances, to)) return circuit;
  const rename = (e) => {
    const [i, p] = splitEndpoint(e);
    return i === from ? endpoint(to, p) : e;
  };
  const instances = Object.fromEntries(Object.entries(circuit.instances).map(([n, v]) => [n === from ? to : n, v]));
  const links = circuit.links.map((l) => (touches(l.a, new Set([from])) || touches(l.b, new Set([from])) ? { ...l, a: rename(l.a), b: rename(l.b) } : l));
  const ports = Object.fromEntries(Object.entries(circuit.ports).map(([n, e]) => [n, rename(e)]));
  return { ...circuit, instances, links, ports };
}

/** Why ports `a` and `b` (with their port types) cannot be linked, or "". */
export function linkProblem(circuit, a, b, typeA, typeB) {
  if (a === b || splitEndpoint(a)[0] === splitEndpoint(b)[0]) return "a port cannot connect to its own instance";
  const electrical = (t) => t !== "optical";
  const article = (type) => (/^[aeiou]/i.test(type) ? `an ${type}` : `a ${type}`);
  if (electrical(typeA) !== electrical(typeB)) return `cannot connect ${article(typeA)} port to ${article(typeB)} port`;
  if (circuit.links.some((l) => (l.a === a && l.b === b) || (l.a === b && l.b === a))) return "already connected";
  if (!electrical(typeA)) {
    const busy = [a, b].find((e) => circuit.links.some((l) => l.a === e || l.b === e));
    if (busy) return `${busy} is already connected (one connection per optical port)`;
  }
  return "";
}

export const addLink = (circuit, a, b, electrical) =>
  ({ ...circuit, links: [...circuit.links, { a, b, electrical, bundle: null }] });

export function setSetting(circuit, name, key, value) {
  const instance = circuit.instances[name];
  return mapInstances(circuit, [name], () => ({ ...instance, settings: { ...instance.settings, [key]: value } }));
}

/** Drop a setting (back to the kit's default, or gone when the kit has no such setting). */
export function resetSetting(circuit, name, key) {
  const { [key]: _dropped, ...settings } = circuit.instances[name].settings;
  return mapInstances(circuit, [name], (i) => ({ ...i, settings }));
}

/** Give an instance another component (its settings and links are kept: the warnings show what no longer fits). */
export const setComponent = (circuit, name, component) =>
  mapInstances(circuit, [name], (i) => ({ ...i, component }));

/** Group links into a routed bundle with a routing strategy. */
export function makeBundle(circuit, linkIndexes, name, strategy) {
  const chosen = new Set(linkIndexes);
  const links = circuit.links.map((l, k) => (chosen.has(k) ? { ...l, bundle: name } : l));
  const bundles = { ...circuit.bundles, [name]: { strategy, settings: {} } };
  return pruneBundles({ ...circuit, links, bundles });
}

export function setBundle(circuit, name, strategy, settings) {
  return { ...circuit, bundles: { ...circuit.bundles, [name]: { strategy, settings } } };
}

/** Take links out of their bundles: they become plain connections (or nets) again. */
export function unbundle(circuit, linkIndexes) {
  const chosen = new Set(linkIndexes);
  const links = circuit.links.map((l, k) => (chosen.has(k) && l.bundle ? { ...l, bundle: null } : l));
  return pruneBundles({ ...circuit, links });
}

/** The links with their kind (electrical or not) taken from their ports' types where
 * `typeOf(endpoint)` knows them ("" when not): a bundle's strategy does not make its
 * links electrical. Unchanged links are kept. */
export function withPortKinds(circuit, typeOf) {
  let changed = false;
  const links = circuit.links.map((l) => {
    const [ta, tb] = [typeOf(l.a), typeOf(l.b)];
    const known = ta || tb;
    const electrical = known ? known !== "optical" : l.electrical;
    if (electrical === l.electrical) return l;
    changed = true;
    return { ...l, electrical };
  });
  return changed ? { ...circuit, links } : circuit;
}

/** Whether a routing strategy routes electrical ports (its `port_type` setting says so). */
export const routesElectrical = (params) => String(((params || {}).port_type || {}).default || "optical") !== "optical";

/** The names of the strategies that route links of this kind (electrical or optical). */
export const fittingStrategies = (strategies, electrical) =>
  Object.entries(strategies || {}).filter(([, params]) => routesElectrical(params) === electrical).map(([name]) => name);

export function setExternalPort(circuit, name, target) {
  const ports = Object.fromEntries(Object.entries(circuit.ports).filter(([, e]) => e !== target));
  return { ...circuit, ports: name ? { ...ports, [name]: target } : ports };
}

/** Copy of the named instances with the links among them, for pasting. */
export function copyItems(circuit, names) {
  const chosen = new Set(names);
  const instances = Object.fromEntries(names.filter((n) => circuit.instances[n]).map((n) => [n, circuit.instances[n]]));
  const links = circuit.links.filter((l) => touches(l.a, chosen) && touches(l.b, chosen)).map((l) => ({ ...l, bundle: null }));
  return { instances, links };
}

/** Paste a copy with fresh names, offset by (dx, dy); returns [circuit, new names]. */
export function pasteItems(circuit, clip, dx, dy) {
  let next = circuit;
  const renamed = {};
  for (const [old, inst] of Object.entries(clip.instances)) {
    const name = freeName(next.instances, inst.component);
    renamed[old] = name;
    next = { ...next, instances: { ...next.instances, [name]: { ...inst, x: inst.x + dx, y: inst.y + dy } } };
  }
  const moved = (e) => {
    const [i, p] = splitEndpoint(e);
    return endpoint(renamed[i], p);
  };
  const links = clip.links.map((l) => ({ ...l, a: moved(l.a), b: moved(l.b) }));
  return [{ ...next, links: [...next.links, ...links] }, Object.values(renamed)];
}

// ---------------------------------------------------------------- checks

/** Warnings: unknown components, settings the kit does not know and unconnected ports.
 * `kitPorts`: component -> {port: record}; `kitSettings`: component -> settings description
 * (a component not described yet has no unknown settings). */
export function warnings(circuit, components, kitPorts, kitSettings = {}) {
  const known = new Set(components);
  const used = new Set(circuit.links.flatMap((l) => [l.a, l.b]).concat(Object.values(circuit.ports)));
  const found = [];
  for (const [name, inst] of Object.entries(circuit.instances)) {
    if (!known.has(inst.component)) {
      found.push({ text: `${name}: unknown component ${inst.component}`, instances: [name] });
      continue;
    }
    const unknown = unknownSettings(inst, kitSettings[inst.component]);
    if (unknown.length) found.push({ text: `${name}: unknown setting${unknown.length === 1 ? "" : "s"} ${unknown.join(", ")}`, instances: [name] });
    const open = Object.keys(kitPorts[inst.component] || {}).filter((p) => !used.has(endpoint(name, p)));
    if (open.length) found.push({ text: `${name}: unconnected ${open.join(", ")}`, instances: [name] });
  }
  return found;
}

/** The settings of an instance that its component's description does not have ([] when not described yet). */
export const unknownSettings = (inst, description) =>
  description ? Object.keys(inst.settings).filter((key) => !(key in description)) : [];

// ---------------------------------------------------------------- files

/** The schematic file's format. Version 2 stores mirror as the layout does; files without a
 * version mirrored the drawing left to right, before the rotation, and are read as such. */
export const SCHEMATIC_VERSION = 2;

/** x and y, with rotation and mirror only when they are not 0 and false (smaller files load faster). */
const placementOf = (i) => ({ x: i.x, y: i.y, ...(i.rotation ? { rotation: i.rotation } : {}), ...(i.mirror ? { mirror: true } : {}) });

/** Micrometres to the nanometre, without the float noise of a sum. */
const toNanometre = (v) => Math.round(v * 1000) / 1000;

/** An instance's placement in the netlist. Where the layout had it when it was opened, moved by
 * as much as it has been dragged since (a drawing unit a micrometre) and turned as drawn: a
 * circuit drawn from its layout, spread out, keeps its layout when saved. An instance the
 * build placed (no placement of its own) that is neither moved nor turned gets none: the build
 * places it as before. Without such a memory (placed in the editor), where it is drawn. */
function placementFor(i) {
  const b = i.built;
  if (!b) return placementOf(i);
  const [dx, dy] = [i.x - b.at[0], i.y - b.at[1]];
  const turned = i.rotation !== b.rotation || Boolean(i.mirror) !== Boolean(b.mirror);
  if (!b.placed && !dx && !dy && !turned) return null;
  return placementOf({ ...i, x: toNanometre(b.x + dx), y: toNanometre(b.y + dy) });
}

/** The document the netlist route saves: the netlist (the layout's source and the
 * check's reference) and the schematic (the drawing).
 *
 * The layout joins the second instance of a connection to the first, so only
 * instances that are not joined that way get a placement in the netlist; the
 * schematic keeps every instance's position. */
export function toDocument(circuit) {
  const joined = new Set(circuit.links.filter((l) => !l.bundle && !l.electrical).map((l) => splitEndpoint(l.b)[0]));
  const instances = {};
  const placements = {};
  const schematic = {};
  for (const [name, i] of Object.entries(circuit.instances)) {
    instances[name] = Object.keys(i.settings).length ? { component: i.component, settings: i.settings } : { component: i.component };
    const placement = joined.has(name) ? null : placementFor(i);
    if (placement) placements[name] = placement;
    schematic[name] = placementOf(i);
  }
  const connections = {};
  const nets = [];
  const routes = {};
  for (const [name, b] of Object.entries(circuit.bundles)) {
    // a route read without a strategy keeps none: the build's default
    routes[name] = { ...(b.strategy ? { routing_strategy: b.strategy } : {}), settings: b.settings, links: {} };
  }
  for (const l of circuit.links) {
    if (l.bundle && routes[l.bundle]) routes[l.bundle].links[l.a] = l.b;
    else if (l.electrical) nets.push({ p1: l.a, p2: l.b });
    else connections[l.a] = l.b;
  }
  return {
    netlist: { instances, placements, connections, routes, nets, ports: { ...circuit.ports } },
    schematic: { version: SCHEMATIC_VERSION, instances: schematic },
  };
}

/** A mapping from a loaded file, or {} for anything else (a list, a text, null). */
const mapping = (v) => (v && typeof v === "object" && !Array.isArray(v) ? v : {});

const number = (v, fallback) => (typeof v === "number" && Number.isFinite(v) ? v : fallback);

/** Rotation and mirror of a drawing entry, as the layout has them. A left-to-right mirror
 * (schematic files before version 2) is the layout's mirror turned by 180 degrees. */
function orientation(where, leftRight) {
  const rotation = ((number(where.rotation, 0) % 360) + 360) % 360;
  const mirror = Boolean(where.mirror);
  return { rotation: mirror && leftRight ? (rotation + 180) % 360 : rotation, mirror };
}

/** The instances of a loaded document that its schematic does not draw. */
export function undrawnInstances(doc) {
  const drawn = mapping(mapping(doc.schematic).instances);
  return Object.keys(mapping(mapping(doc.netlist).instances)).filter((name) => !drawn[name]);
}

/** The circuit of a loaded document; missing or odd entries are left out, not fatal.
 * An instance without a drawing is put where its placement says, or in a grid. */
export function fromDocument(doc) {
  const netlist = mapping(doc.netlist);
  const schematic = mapping(doc.schematic);
  const drawn = mapping(schematic.instances);
  const leftRight = number(schematic.version, 1) < 2;
  const placed = mapping(netlist.placements);
  const circuit = emptyCircuit();
  const names = Object.keys(mapping(netlist.instances));
  const columns = Math.ceil(Math.sqrt(names.length));
  names.forEach((name, k) => {
    const inst = netlist.instances[name];
    const where = mapping(drawn[name] || placed[name]);
    const instance = {
      component: String((inst && inst.component) || "?"),
      settings: mapping(inst && inst.settings),
      x: number(where.x, (k % columns) * 200),
      y: number(where.y, -Math.floor(k / columns) * 200),
      ...orientation(where, leftRight && Boolean(drawn[name])),
    };
    const own = mapping(placed[name]);
    if (placed[name] !== undefined) {
      const built = { x: number(own.x, 0), y: number(own.y, 0), ...orientation(own, false), placed: true, at: [instance.x, instance.y] };
      instance.built = built;
    }
    circuit.instances[name] = instance;
  });
  for (const [a, b] of Object.entries(mapping(netlist.connections))) circuit.links.push({ a, b: String(b), electrical: false, bundle: null });
  for (const net of Array.isArray(netlist.nets) ? netlist.nets : []) {
    if (net && net.p1 && net.p2) circuit.links.push({ a: String(net.p1), b: String(net.p2), electrical: true, bundle: null });
  }
  for (const [name, route] of Object.entries(mapping(netlist.routes))) {
    const strategy = String(mapping(route).routing_strategy || "");
    circuit.bundles[name] = { strategy, settings: mapping(mapping(route).settings) };
    const electrical = /electrical/.test(strategy);
    for (const [a, b] of Object.entries(mapping(mapping(route).links))) circuit.links.push({ a, b: String(b), electrical, bundle: name });
  }
  circuit.ports = Object.fromEntries(Object.entries(mapping(netlist.ports)).map(([n, e]) => [n, String(e)]));
  return circuit;
}

/** The circuit with instances drawn at `places` (name -> {x, y, rotation, mirror}), where the
 * layout has them at `layout` (name -> {x, y, rotation, mirror}, µm): what the next save keeps. */
export function placeInstances(circuit, places, layout = {}) {
  const instances = { ...circuit.instances };
  for (const [name, { x, y, rotation, mirror }] of Object.entries(places)) {
    const inst = instances[name];
    if (!inst) continue;
    const own = inst.built && inst.built.placed ? inst.built : null; // the netlist's own numbers, exactly
    const at = layout[name];
    const built = own || (at ? { x: at.x, y: at.y, rotation: at.rotation, mirror: Boolean(at.mirror), placed: false } : null);
    instances[name] = { ...inst, x, y, rotation, mirror, ...(built ? { built: { ...built, rotation, mirror, at: [x, y] } } : {}) };
  }
  return { ...circuit, instances };
}

// ---------------------------------------------------------------- history

export const newHistory = (circuit) => ({ past: [], present: circuit, future: [], saved: circuit });

/** Record an edit: the present becomes undoable. An unchanged circuit records nothing. */
export const commit = (h, circuit, before = h.present) =>
  circuit === before ? { ...h, present: circuit } : { ...h, past: [...h.past, before], present: circuit, future: [] };

/** Show a circuit without recording it (a drag in progress). */
export const preview = (h, circuit) => ({ ...h, present: circuit });

export const undo = (h) =>
  h.past.length ? { ...h, past: h.past.slice(0, -1), present: h.past[h.past.length - 1], future: [h.present, ...h.future] } : h;

export const redo = (h) =>
  h.future.length ? { ...h, past: [...h.past, h.present], present: h.future[0], future: h.future.slice(1) } : h;

export const markSaved = (h, circuit) => ({ ...h, saved: circuit });

export const isDirty = (h) => h.present !== h.saved;
