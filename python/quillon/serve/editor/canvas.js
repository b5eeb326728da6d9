// The drawing: the only module that touches the canvas's SVG.
//
// createCanvas(svg, on) draws scenes into `svg` and reports what the user does
// through the callbacks `on` (see main.js). A scene:
//   { circuit, kitPorts: component -> ports record, view, selected: Set of
//     instance names, selectedLinks: Set of link indexes, port: the selected
//     port's endpoint or null, flagged: {instances: Set, links: Set} }
// Drawing compares with the last scene by identity, so moving one instance
// redraws only it and its links.
//
// Three levels of detail, by zoom: near, every symbol in full; far, bodies with
// their names and ports; furthest out, an overview of a few paths (bodies, then
// links by kind as straight lines), which the pointer finds by geometry. Near and far, only
// instances and links in or around the view have nodes.

import { endpoint, splitEndpoint } from "./model.js";
import { bodyBox, chord, curveBox, curvePath, curveWithin, instanceTransform, linkCurve, nearCurve, portPoint, symbolLayout, toScreen } from "./geometry.js";

const NS = "http://www.w3.org/2000/svg";

/** Levels of detail: everything; bodies, names and ports; bodies only. */
const [NEAR, FAR, DOTS] = ["near", "far", "dots"];
/** Scales (screen pixels per world unit) below which symbols are drawn with less: port
 * names (9 units) would be smaller than 4.5 pixels, names far out (20 units) than 7. */
const FAR_BELOW = 0.5;
const DOTS_BELOW = 0.35;
/** Nodes are made for what lies within this many views around the view, and kept within
 * CULL_KEEP: a small pan makes none. Every node kept is laid out again at every zoom step. */
const CULL_MAKE = 0.1;
const CULL_KEEP = 0.3;
const detailAt = (scale) => (scale >= FAR_BELOW ? NEAR : scale >= DOTS_BELOW ? FAR : DOTS);
/** World units around an instance's position that its symbol may cover. */
const ROOM = 200;

const el = (name, attrs = {}, parent = null) => {
  const node = document.createElementNS(NS, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (parent) parent.appendChild(node);
  return node;
};

const ESCAPES = { "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" };
const esc = (text) => String(text).replace(/[&<>"']/g, (c) => ESCAPES[c]);

export function createCanvas(svg, on) {
  const defs = el("defs", {}, svg);
  const grid = el("pattern", { id: "grid", width: 20, height: 20, patternUnits: "userSpaceOnUse" }, defs);
  el("circle", { cx: 0.5, cy: 0.5, r: 0.9, class: "grid-dot" }, grid);
  const backdrop = el("rect", { class: "backdrop", width: "100%", height: "100%", fill: "url(#grid)" }, svg);
  const world = el("g", { class: "world" }, svg);
  // Links above the bodies (a link is never hidden under a symbol); under them, invisible,
  // a wider copy of each that takes the pointer at any zoom.
  const instLayer = el("g", { class: "instances" }, world);
  const hitLayer = el("g", { class: "link-hits" }, world);
  const linkLayer = el("g", { class: "links" }, world);
  const overview = el("g", { class: "overview" }, world);
  const overviewPaths = new Map(); // class -> {node, d}
  const portLayer = el("g", { class: "external-ports" }, world);
  let portsDrawn = { ports: null, places: "" };
  const overlay = el("g", { class: "overlay" }, world);
  const drawn = new Map(); // instance name -> {inst, layout, node or null, detail, shown: what the node shows}
  const linkNodes = []; // index -> {link, path, box, node and hit or null, ...what the path was made from}
  const symbols = new Map(); // component -> its symbol as a data URL
  let scene = null;

  // ------------------------------------------------------------ drawing

  /** Keep a component's symbol to draw as an image: one picture per instance to lay out and
   * paint (its own texts and shapes are not the page's), loaded at once from its data URL. */
  function addSymbol(component, text) {
    if (symbols.has(component)) return;
    const source = new DOMParser().parseFromString(text, "image/svg+xml").documentElement;
    if (source.nodeName !== "svg") return;
    if (!source.hasAttribute("viewBox")) source.setAttribute("viewBox", `0 0 ${source.getAttribute("width") || 80} ${source.getAttribute("height") || 80}`);
    symbols.set(component, `data:image/svg+xml,${encodeURIComponent(new XMLSerializer().serializeToString(source))}`);
  }

  /** The markup of an instance's symbol group: built as text, parsed in one go (much faster
   * than node by node). Further out, the details too small to see are left out. */
  function instanceMarkup(name, inst, layout, detail) {
    const frame = { ...inst, x: 0, y: 0 };
    const { width: w, height: h } = layout;
    const parts = [
      `<g class="inst" data-name="${esc(name)}" transform="translate(${inst.x},${-inst.y})">`,
      `<g transform="${instanceTransform(frame)}"><rect class="body" x="${-w / 2}" y="${-h / 2}" width="${w}" height="${h}" rx="6"/>`,
    ];
    if (detail === NEAR) {
      const symbol = symbols.get(inst.component);
      if (symbol) parts.push(`<image href="${esc(symbol)}" x="-26" y="-26" width="52" height="52"/>`);
      const stubs = {}; // port type -> path of its stubs: one node for all
      for (const a of Object.values(layout.anchors)) stubs[a.type] = `${stubs[a.type] || ""}M${a.x - a.dx * 8},${a.y - a.dy * 8}L${a.x},${a.y}`;
      for (const [type, d] of Object.entries(stubs)) parts.push(`<path class="stub ${esc(type)}" d="${d}"/>`);
    }
    parts.push("</g>");
    if (detail !== DOTS) {
      const top = Math.min(...[[-w / 2, -h / 2], [w / 2, -h / 2], [-w / 2, h / 2], [w / 2, h / 2]].map(([x, y]) => toScreen(frame, x, y)[1]));
      parts.push(`<text class="inst-name" x="0" y="${top - 20}">${esc(name)}</text>`);
      const portsBelow = Object.values(layout.anchors).some((a) => portPoint(frame, a).dy > 0);
      if (detail === NEAR) parts.push(`<text class="inst-component" x="0" y="${-top + (portsBelow ? 26 : 14)}">${esc(inst.component)}</text>`);
      for (const [port, a] of Object.entries(layout.anchors)) {
        const p = portPoint(frame, a);
        const anchor = p.dx > 0 ? "end" : p.dx < 0 ? "start" : "middle";
        const y = p.dy ? p.y - p.dy * 16 + 3 : p.y + 3;
        parts.push(`<circle class="port ${esc(a.type)}" cx="${p.x}" cy="${p.y}" r="4.5" data-endpoint="${esc(endpoint(name, port))}"/>`);
        if (detail === NEAR) parts.push(`<text class="port-name" x="${p.x - p.dx * 14}" y="${y}" text-anchor="${anchor}">${esc(port)}</text>`);
      }
    }
    parts.push("</g>");
    return parts.join("");
  }

  /** Parse the markup of several instances; their groups in order. */
  function parseInstances(markup) {
    const holder = document.createElementNS(NS, "g");
    holder.innerHTML = markup.join("");
    return [...holder.children];
  }

  const layouts = new WeakMap(); // ports record -> symbolLayout
  const emptyPorts = {};
  function layoutOf(ports) {
    const key = ports || emptyPorts;
    if (!layouts.has(key)) layouts.set(key, symbolLayout(ports));
    return layouts.get(key);
  }

  /** The part of the world worth having nodes for: the view and `margin` views around it. */
  function reach(view, margin) {
    const [w, h] = size();
    const [vw, vh] = [w / view.scale, h / view.scale];
    return { left: view.x - margin * vw - ROOM, top: view.y - margin * vh - ROOM, right: view.x + (1 + margin) * vw + ROOM, bottom: view.y + (1 + margin) * vh + ROOM };
  }

  const inside = (box, x, y) => x >= box.left && x <= box.right && y >= box.top && y <= box.bottom;

  /** Instances: their symbols' layouts for all; nodes for those in (or near) the view. */
  function drawInstances(circuit, kitPorts, selected, flagged, view) {
    const detail = detailAt(view.scale);
    const near = reach(view, CULL_MAKE);
    const far = reach(view, CULL_KEEP);
    for (const [name, d] of drawn) {
      if (!circuit.instances[name]) {
        if (d.node) d.node.remove();
        drawn.delete(name);
      }
    }
    const fresh = [];
    for (const [name, inst] of Object.entries(circuit.instances)) {
      const ports = kitPorts[inst.component];
      let d = drawn.get(name);
      if (!d) drawn.set(name, (d = { node: null, inst, shown: null }));
      d.inst = inst;
      d.layout = layoutOf(ports);
      // kept within the wider reach while the level of detail stays; made anew only near the view
      const wanted = detail !== DOTS && inside(d.node && d.detail === detail ? far : near, inst.x, -inst.y);
      if (!wanted) {
        if (d.node) d.node.remove();
        d.node = null;
        continue;
      }
      const shown = d.shown;
      const symbol = symbols.get(inst.component);
      if (!d.node || d.detail !== detail || shown.layout !== d.layout || shown.rotation !== inst.rotation || shown.mirror !== inst.mirror || shown.component !== inst.component || shown.symbol !== symbol) {
        fresh.push({ d, markup: instanceMarkup(name, inst, d.layout, detail) });
      } else if (shown.x !== inst.x || shown.y !== inst.y) {
        d.node.setAttribute("transform", `translate(${inst.x},${-inst.y})`);
        d.shown = { ...shown, x: inst.x, y: inst.y };
      }
    }
    if (fresh.length) {
      const nodes = parseInstances(fresh.map((f) => f.markup));
      const added = document.createDocumentFragment();
      fresh.forEach(({ d }, k) => {
        if (d.node) d.node.replaceWith(nodes[k]);
        else added.appendChild(nodes[k]);
        const { x, y, rotation, mirror, component } = d.inst;
        const shown = { x, y, rotation, mirror, component, layout: d.layout, symbol: symbols.get(component) };
        Object.assign(d, { node: nodes[k], detail, shown, selected: false, flagged: false });
      });
      instLayer.appendChild(added);
    }
    const bodies = { body: [], "body selected": [], "body flagged": [] };
    for (const [name, d] of drawn) {
      const isSelected = selected.has(name);
      const isFlagged = flagged.instances.has(name);
      if (detail === DOTS) {
        if (d.dotOf !== d.inst || d.dotLayout !== d.layout) {
          const b = bodyBox(d.inst, d.layout);
          Object.assign(d, { dotOf: d.inst, dotLayout: d.layout, dot: `M${b.left},${b.top}H${b.right}V${b.bottom}H${b.left}Z` });
        }
        bodies[isFlagged ? "body flagged" : isSelected ? "body selected" : "body"].push(d.dot);
      }
      if (!d.node) continue;
      if (d.selected !== isSelected) d.node.classList.toggle("selected", (d.selected = isSelected));
      if (d.flagged !== isFlagged) d.node.classList.toggle("flagged", (d.flagged = isFlagged));
    }
    for (const [cls, parts] of Object.entries(bodies)) drawOverview(cls, parts);
    return fresh.length > 0;
  }

  /** The overview path of class `cls`, made of `parts` (none: drawn empty). */
  function drawOverview(cls, parts) {
    let o = overviewPaths.get(cls);
    if (!o) {
      o = { node: el("path", { class: `overview-${cls.replace(/ /g, " overview-")}` }, overview), d: "" };
      overviewPaths.set(cls, o);
    }
    const d = parts.join("");
    if (o.d !== d) o.node.setAttribute("d", (o.d = d));
  }

  function endpointPoint(text) {
    const [name, port] = splitEndpoint(text);
    const d = drawn.get(name);
    const anchor = d && d.layout.anchors[port];
    if (!anchor) return d ? { x: d.inst.x, y: -d.inst.y, dx: 0, dy: 0 } : null;
    return portPoint(d.inst, anchor);
  }

  const meets = (a, b) => a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;

  /** Links: their curves for all; nodes (the link and its hit area) for those crossing the
   * view, or furthest out one overview path per kind. */
  function drawLinks(circuit, selected, selectedLinks, flagged, view) {
    const detail = detailAt(view.scale);
    const near = reach(view, CULL_MAKE);
    const far = reach(view, CULL_KEEP);
    // the links of selected instances apart: dragging those leaves the other paths as they are
    const kinds = { optical: [], electrical: [], "optical moving": [], "electrical moving": [], "link selected": [], "link flagged": [] };
    const moving = (link) => selected.size && (selected.has(splitEndpoint(link.a)[0]) || selected.has(splitEndpoint(link.b)[0]));
    while (linkNodes.length > circuit.links.length) hideLink(linkNodes.pop());
    circuit.links.forEach((link, k) => {
      let d = linkNodes[k];
      if (!d) linkNodes[k] = d = { node: null, hit: null };
      const ia = drawn.get(splitEndpoint(link.a)[0]);
      const ib = drawn.get(splitEndpoint(link.b)[0]);
      const changed = d.link !== link || d.ia !== (ia && ia.inst) || d.ib !== (ib && ib.inst) || d.la !== (ia && ia.layout) || d.lb !== (ib && ib.layout);
      if (changed) {
        const p = endpointPoint(link.a);
        const q = endpointPoint(link.b);
        const curve = p && q ? linkCurve(p, q) : null;
        Object.assign(d, { link, ia: ia && ia.inst, ib: ib && ib.inst, la: ia && ia.layout, lb: ib && ib.layout });
        Object.assign(d, curve ? { curve, path: curvePath(curve), box: curveBox(curve), chord: `M${curve[0]},${curve[1]}L${curve[6]},${curve[7]}` } : { curve, path: "", box: null, chord: "" });
      }
      if (detail === DOTS) {
        const kind = flagged.links.has(k) ? "link flagged" : selectedLinks.has(k) ? "link selected" : `${link.electrical ? "electrical" : "optical"}${moving(link) ? " moving" : ""}`;
        if (d.chord) kinds[kind].push(d.chord);
        hideLink(d);
        return;
      }
      if (!d.box || !meets(d.box, d.node ? far : near)) {
        hideLink(d);
        return;
      }
      if (!d.node) {
        d.node = el("path", {}, linkLayer);
        d.hit = el("path", { class: "link-hit", "data-link": k }, hitLayer);
        Object.assign(d, { cls: "", shown: null, cutFor: null });
      }
      // A link reaching far beyond the view is drawn only where it crosses it (dashed as on its
      // whole length): the dashes of a link are made over all its length at every frame painted.
      if (changed || d.shown === null || (d.cutFor && d.cutFor !== view)) {
        const whole = d.box.left >= far.left && d.box.right <= far.right && d.box.top >= far.top && d.box.bottom <= far.bottom;
        const [shape, offset] = whole ? [d.path, 0] : curveWithin(d.curve, far, ROOM / 2);
        d.cutFor = whole ? null : view;
        if (d.shown !== shape) {
          d.node.setAttribute("d", (d.shown = shape));
          d.hit.setAttribute("d", shape);
          d.node.setAttribute("stroke-dashoffset", offset);
        }
      }
      const marks = `${selectedLinks.has(k) ? " selected" : ""}${flagged.links.has(k) ? " flagged" : ""}`;
      const cls = `link ${link.electrical ? "electrical" : "optical"}${link.bundle ? " bundled" : ""}${marks}`;
      if (d.cls !== cls) d.node.setAttribute("class", (d.cls = cls));
    });
    for (const [cls, parts] of Object.entries(kinds)) drawOverview(cls, parts);
  }

  function hideLink(d) {
    if (!d.node) return;
    d.node.remove();
    d.hit.remove();
    d.node = d.hit = null;
  }

  /** A tag beside every port of the circuit, at the instance port it names. */
  function drawExternalPorts(ports) {
    const entries = Object.entries(ports).map(([name, target]) => [name, endpointPoint(target)]);
    const places = entries.map(([n, p]) => `${n}:${p && p.x},${p && p.y}`).join(";");
    if (portsDrawn.ports === ports && portsDrawn.places === places) return;
    portsDrawn = { ports, places };
    portLayer.replaceChildren();
    for (const [name, p] of entries) {
      if (!p) continue;
      const reach = p.dy ? 42 : 26; // clear of the instance's name above or below
      const x = p.x + p.dx * reach;
      const y = p.y + p.dy * reach;
      const g = el("g", { class: "external", "data-port": name }, portLayer);
      el("line", { x1: p.x, y1: p.y, x2: x, y2: y }, g);
      const width = 14 + name.length * 7;
      const left = p.dx < 0 ? x - width : p.dx > 0 ? x : x - width / 2;
      el("rect", { x: left, y: y - 9, width, height: 18, rx: 9 }, g);
      const text = el("text", { x: left + width / 2, y: y + 4 }, g);
      text.textContent = name;
    }
  }

  function applyView(view) {
    const m = `matrix(${view.scale},0,0,${view.scale},${-view.x * view.scale},${-view.y * view.scale})`;
    world.setAttribute("transform", m);
    grid.setAttribute("patternTransform", m);
    // one screen pixel in world units: hit areas and the overview's lines keep a size on the screen
    hitLayer.style.setProperty("--px", `${1 / view.scale}px`);
    overview.style.setProperty("--px", `${1 / view.scale}px`);
    const detail = detailAt(view.scale);
    svg.classList.toggle("far", detail !== NEAR);
    svg.classList.toggle("dots", detail === DOTS);
  }

  function render(next) {
    const old = scene;
    scene = next;
    const moved = !old || old.view !== next.view;
    if (moved) applyView(next.view);
    const redrawn = drawInstances(next.circuit, next.kitPorts, next.selected, next.flagged, next.view);
    drawLinks(next.circuit, next.selected, next.selectedLinks, next.flagged, next.view);
    drawExternalPorts(next.circuit.ports);
    if (redrawn || !old || old.port !== next.port) markPort(next.port);
  }

  let markedPort = null;

  /** Ring the selected port (its circle is redrawn with its instance, so look it up each time). */
  function markPort(endpointText) {
    if (markedPort) markedPort.classList.remove("selected");
    markedPort = endpointText ? instLayer.querySelector(`[data-endpoint="${CSS.escape(endpointText)}"]`) : null;
    if (markedPort) markedPort.classList.add("selected");
  }

  // ------------------------------------------------------------ pointer

  const local = (event) => {
    const box = svg.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  };

  /** Layout coordinates of a client point, or null when it is outside the canvas. */
  function worldAt(clientX, clientY) {
    const box = svg.getBoundingClientRect();
    if (clientX < box.left || clientX > box.right || clientY < box.top || clientY > box.bottom) return null;
    const v = scene.view;
    return [v.x + (clientX - box.left) / v.scale, -(v.y + (clientY - box.top) / v.scale)];
  }

  let gesture = null;

  function follow(event, move, end) {
    try {
      svg.setPointerCapture(event.pointerId);
    } catch {
      // a synthetic pointer cannot be captured; its events reach the canvas anyway
    }
    gesture = { move, end };
  }

  svg.addEventListener("pointermove", (event) => gesture && gesture.move(event));
  svg.addEventListener("pointerup", (event) => {
    if (!gesture) return;
    const g = gesture;
    gesture = null;
    g.end(event);
  });
  svg.addEventListener("pointercancel", () => {
    gesture = null;
    overlay.replaceChildren();
  });

  function startWire(event, from) {
    const p = endpointPoint(from);
    const wire = el("path", { class: "wire" }, overlay);
    follow(
      event,
      (e) => {
        const [x, y] = worldAt(e.clientX, e.clientY) || [p.x, -p.y];
        wire.setAttribute("d", `M${p.x},${p.y} L${x},${-y}`);
      },
      (e) => {
        overlay.replaceChildren();
        const to = endpointAt(e.clientX, e.clientY);
        if (to && to !== from) on.connect(from, to);
        else on.selectPort(from);
      },
    );
  }

  function startDrag(event, name) {
    const [sx, sy] = [event.clientX, event.clientY];
    let moved = false;
    follow(
      event,
      (e) => {
        const s = scene.view.scale;
        moved = moved || Math.hypot(e.clientX - sx, e.clientY - sy) > 3;
        if (moved) on.drag((e.clientX - sx) / s, -(e.clientY - sy) / s);
      },
      () => (moved ? on.dragEnd() : on.clicked(name)),
    );
  }

  function startBox(event) {
    const [x0, y0] = local(event);
    const band = el("rect", { class: "band" }, overlay);
    const corners = (e) => {
      const [x1, y1] = local(e);
      const v = scene.view;
      return [v.x + Math.min(x0, x1) / v.scale, v.y + Math.min(y0, y1) / v.scale, Math.abs(x1 - x0) / v.scale, Math.abs(y1 - y0) / v.scale];
    };
    follow(
      event,
      (e) => {
        const [x, y, w, h] = corners(e);
        Object.entries({ x, y, width: w, height: h }).forEach(([k, v]) => band.setAttribute(k, v));
      },
      (e) => {
        overlay.replaceChildren();
        const [x, y, w, h] = corners(e);
        const inside = [...drawn].filter(([, d]) => d.inst.x >= x && d.inst.x <= x + w && -d.inst.y >= y && -d.inst.y <= y + h).map(([n]) => n);
        on.boxSelect(inside, event.shiftKey, w * h === 0);
      },
    );
  }

  function startPan(event) {
    let [px, py] = local(event);
    follow(
      event,
      (e) => {
        const [x, y] = local(e);
        on.pan(x - px, y - py);
        [px, py] = [x, y];
      },
      () => {},
    );
  }

  /** The endpoint of the port under a client point, also where a link's hit area covers it. */
  function endpointAt(clientX, clientY) {
    const port = document.elementsFromPoint(clientX, clientY).find((node) => node.hasAttribute("data-endpoint"));
    return port ? port.getAttribute("data-endpoint") : null;
  }

  /** Instance under a client point in the overview (a body or a few pixels around it), or null. */
  function overviewInstance(x, y) {
    const reachOut = 3 / scene.view.scale;
    let found = null;
    for (const [name, d] of drawn) {
      const b = bodyBox(d.inst, d.layout);
      if (x >= b.left - reachOut && x <= b.right + reachOut && y >= b.top - reachOut && y <= b.bottom + reachOut) found = name;
    }
    return found;
  }

  /** Link within 5 screen pixels of a client point in the overview (of the straight line it is drawn as there), or -1. */
  const overviewLink = (x, y) => linkNodes.findLastIndex((d) => d.curve && nearCurve(chord(d.curve), x, y, 5 / scene.view.scale));

  /** What is under the pointer: {port, inst, link} (names, link index or -1). */
  function under(event) {
    const target = event.target;
    if (detailAt(scene.view.scale) === DOTS) {
      const [x, y] = worldAt(event.clientX, event.clientY) || [NaN, NaN];
      const inst = overviewInstance(x, -y);
      return { port: null, inst, link: inst ? -1 : overviewLink(x, -y) };
    }
    const link = target.closest("[data-link]");
    const port = link ? endpointAt(event.clientX, event.clientY) : target.getAttribute("data-endpoint");
    const inst = target.closest(".inst");
    return { port, inst: inst && inst.getAttribute("data-name"), link: link ? Number(link.getAttribute("data-link")) : -1 };
  }

  svg.addEventListener("pointerdown", (event) => {
    const { port, inst, link } = under(event);
    if (event.button === 1 || event.button === 2 || (event.button === 0 && event.altKey)) startPan(event);
    else if (event.button !== 0) return;
    else if (port) startWire(event, port);
    else if (inst) {
      if (event.shiftKey) on.toggle(inst);
      else {
        on.press(inst);
        startDrag(event, inst);
      }
    } else if (link >= 0) on.selectLink(link, event.shiftKey);
    else startBox(event);
    event.preventDefault();
  });
  svg.addEventListener("contextmenu", (event) => event.preventDefault());
  svg.addEventListener("dblclick", (event) => {
    const { inst } = under(event);
    if (inst) on.rename(inst);
  });
  svg.addEventListener(
    "wheel",
    (event) => {
      event.preventDefault();
      const [x, y] = local(event);
      on.zoom(x, y, Math.exp(-event.deltaY * 0.0015));
    },
    { passive: false },
  );

  // the canvas's size, kept up to date without asking the page for a layout at every update
  let measured = [svg.clientWidth, svg.clientHeight];
  new ResizeObserver(() => {
    measured = [svg.clientWidth, svg.clientHeight];
  }).observe(svg);
  const size = () => measured;

  return { render, addSymbol, worldAt, size, hasSymbol: (c) => symbols.has(c), backdrop };
}
