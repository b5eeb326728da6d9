// The drawing: the only module that touches the canvas's SVG.
//
// createCanvas(svg, on) draws scenes into `svg` and reports what the user does
// through the callbacks `on` (see main.js). A scene:
//   { circuit, kitPorts: component -> ports record, view, selected: Set of
//     instance names, selectedLinks: Set of link indexes, port: the selected
//     port's endpoint or null, flagged: {instances: Set, links: Set} }
// Drawing compares with the last scene by identity, so moving one instance
// redraws only it and its links.

import { endpoint, splitEndpoint } from "./model.js";
import { instanceTransform, linkPath, portPoint, symbolLayout, toScreen } from "./geometry.js";

const NS = "http://www.w3.org/2000/svg";

/** Scale below which labels, stubs and symbols are left out: too small to read. */
const FAR = 0.45;

const el = (name, attrs = {}, parent = null) => {
  const node = document.createElementNS(NS, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (parent) parent.appendChild(node);
  return node;
};

const ESCAPES = { "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" };
const esc = (text) => String(text).replace(/[&<>"']/g, (c) => ESCAPES[c]);

const symbolId = (component) => `sym-${component.replace(/[^A-Za-z0-9_-]/g, "_")}`;

export function createCanvas(svg, on) {
  const defs = el("defs", {}, svg);
  const grid = el("pattern", { id: "grid", width: 20, height: 20, patternUnits: "userSpaceOnUse" }, defs);
  el("circle", { cx: 0.5, cy: 0.5, r: 0.9, class: "grid-dot" }, grid);
  const backdrop = el("rect", { class: "backdrop", width: "100%", height: "100%", fill: "url(#grid)" }, svg);
  const world = el("g", { class: "world" }, svg);
  const linkLayer = el("g", { class: "links" }, world);
  const instLayer = el("g", { class: "instances" }, world);
  const portLayer = el("g", { class: "external-ports" }, world);
  let portsDrawn = { ports: null, places: "" };
  const overlay = el("g", { class: "overlay" }, world);
  const drawn = new Map(); // instance name -> {node, inst, ports, layout}
  const linkNodes = []; // index -> {node, link, ia, ib, pa, pb}
  const symbols = new Set();
  let scene = null;

  // ------------------------------------------------------------ drawing

  function addSymbol(component, text) {
    if (symbols.has(component)) return;
    symbols.add(component);
    const doc = new DOMParser().parseFromString(text, "image/svg+xml");
    const source = doc.documentElement;
    if (source.nodeName !== "svg") return;
    const width = source.getAttribute("width") || 80;
    const height = source.getAttribute("height") || 80;
    const symbol = el("symbol", { id: symbolId(component), viewBox: source.getAttribute("viewBox") || `0 0 ${width} ${height}` }, defs);
    for (const child of [...source.childNodes]) symbol.appendChild(document.importNode(child, true));
  }

  /** The markup of an instance's symbol group: built as text, parsed in one go (much faster
   * than node by node). Far out, the details too small to read are left out. */
  function instanceMarkup(name, inst, layout, far) {
    const frame = { ...inst, x: 0, y: 0 };
    const { width: w, height: h } = layout;
    const parts = [
      `<g class="inst" data-name="${esc(name)}" transform="translate(${inst.x},${-inst.y})">`,
      `<g transform="${instanceTransform(frame)}"><rect class="body" x="${-w / 2}" y="${-h / 2}" width="${w}" height="${h}" rx="6"/>`,
    ];
    if (!far) {
      parts.push(`<use href="#${symbolId(inst.component)}" x="-26" y="-26" width="52" height="52"/>`);
      for (const a of Object.values(layout.anchors)) {
        parts.push(`<line class="stub ${a.type}" x1="${a.x - a.dx * 8}" y1="${a.y - a.dy * 8}" x2="${a.x}" y2="${a.y}"/>`);
      }
    }
    parts.push("</g>");
    const top = Math.min(...[[-w / 2, -h / 2], [w / 2, -h / 2], [-w / 2, h / 2], [w / 2, h / 2]].map(([x, y]) => toScreen(frame, x, y)[1]));
    parts.push(`<text class="inst-name" x="0" y="${top - 20}">${esc(name)}</text>`);
    const portsBelow = Object.values(layout.anchors).some((a) => portPoint(frame, a).dy > 0);
    if (!far) parts.push(`<text class="inst-component" x="0" y="${-top + (portsBelow ? 26 : 14)}">${esc(inst.component)}</text>`);
    for (const [port, a] of Object.entries(layout.anchors)) {
      const p = portPoint(frame, a);
      const anchor = p.dx > 0 ? "end" : p.dx < 0 ? "start" : "middle";
      const y = p.dy ? p.y - p.dy * 16 + 3 : p.y + 3;
      parts.push(`<circle class="port ${esc(a.type)}" cx="${p.x}" cy="${p.y}" r="4.5" data-endpoint="${esc(endpoint(name, port))}"/>`);
      if (!far) parts.push(`<text class="port-name" x="${p.x - p.dx * 14}" y="${y}" text-anchor="${anchor}">${esc(port)}</text>`);
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

  function drawInstances(circuit, kitPorts, selected, flagged, far) {
    for (const [name, d] of drawn) {
      if (!circuit.instances[name]) {
        d.node.remove();
        drawn.delete(name);
      }
    }
    const fresh = [];
    for (const [name, inst] of Object.entries(circuit.instances)) {
      const ports = kitPorts[inst.component];
      const d = drawn.get(name);
      if (!d || d.far !== far || d.ports !== ports || d.inst.rotation !== inst.rotation || d.inst.mirror !== inst.mirror || d.inst.component !== inst.component) {
        const layout = symbolLayout(ports);
        fresh.push({ name, inst, ports, layout, old: d, markup: instanceMarkup(name, inst, layout, far) });
      } else if (d.inst !== inst) {
        d.node.setAttribute("transform", `translate(${inst.x},${-inst.y})`);
        d.inst = inst;
      }
    }
    if (fresh.length) {
      const nodes = parseInstances(fresh.map((f) => f.markup));
      const added = document.createDocumentFragment();
      fresh.forEach(({ name, inst, ports, layout, old }, k) => {
        if (old) old.node.replaceWith(nodes[k]);
        else added.appendChild(nodes[k]);
        drawn.set(name, { node: nodes[k], inst, ports, layout, far, selected: false, flagged: false });
      });
      instLayer.appendChild(added);
    }
    for (const [name, d] of drawn) {
      const isSelected = selected.has(name);
      const isFlagged = flagged.instances.has(name);
      if (d.selected !== isSelected) d.node.classList.toggle("selected", (d.selected = isSelected));
      if (d.flagged !== isFlagged) d.node.classList.toggle("flagged", (d.flagged = isFlagged));
    }
  }

  function endpointPoint(text) {
    const [name, port] = splitEndpoint(text);
    const d = drawn.get(name);
    const anchor = d && d.layout.anchors[port];
    if (!anchor) return d ? { x: d.inst.x, y: -d.inst.y, dx: 0, dy: 0 } : null;
    return portPoint(d.inst, anchor);
  }

  function drawLinks(circuit, selectedLinks, flagged) {
    while (linkNodes.length > circuit.links.length) linkNodes.pop().node.remove();
    circuit.links.forEach((link, k) => {
      let d = linkNodes[k];
      if (!d) {
        d = { node: el("path", { "data-link": k }, linkLayer) };
        linkNodes[k] = d;
      }
      const ia = drawn.get(splitEndpoint(link.a)[0]);
      const ib = drawn.get(splitEndpoint(link.b)[0]);
      if (d.link !== link || d.ia !== (ia && ia.inst) || d.ib !== (ib && ib.inst) || d.la !== (ia && ia.layout) || d.lb !== (ib && ib.layout)) {
        const p = endpointPoint(link.a);
        const q = endpointPoint(link.b);
        d.node.setAttribute("d", p && q ? linkPath(p, q) : "");
        Object.assign(d, { link, ia: ia && ia.inst, ib: ib && ib.inst, la: ia && ia.layout, lb: ib && ib.layout });
      }
      const marks = `${selectedLinks.has(k) ? " selected" : ""}${flagged.links.has(k) ? " flagged" : ""}`;
      const cls = `link ${link.electrical ? "electrical" : "optical"}${link.bundle ? " bundled" : ""}${marks}`;
      if (d.cls !== cls) d.node.setAttribute("class", (d.cls = cls));
    });
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
    svg.classList.toggle("far", view.scale < FAR);
  }

  function render(next) {
    const old = scene;
    scene = next;
    if (!old || old.view !== next.view) applyView(next.view);
    drawInstances(next.circuit, next.kitPorts, next.selected, next.flagged, next.view.scale < FAR);
    drawLinks(next.circuit, next.selectedLinks, next.flagged);
    drawExternalPorts(next.circuit.ports);
    markPort(next.port);
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
        const target = document.elementFromPoint(e.clientX, e.clientY);
        const to = target && target.getAttribute("data-endpoint");
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

  svg.addEventListener("pointerdown", (event) => {
    const target = event.target;
    const port = target.closest("[data-endpoint]");
    const inst = target.closest(".inst");
    const link = target.closest("[data-link]");
    if (event.button === 1 || event.button === 2 || (event.button === 0 && event.altKey)) startPan(event);
    else if (event.button !== 0) return;
    else if (port) startWire(event, port.getAttribute("data-endpoint"));
    else if (inst) {
      const name = inst.getAttribute("data-name");
      if (event.shiftKey) on.toggle(name);
      else {
        on.press(name);
        startDrag(event, name);
      }
    } else if (link) on.selectLink(Number(link.getAttribute("data-link")), event.shiftKey);
    else startBox(event);
    event.preventDefault();
  });
  svg.addEventListener("contextmenu", (event) => event.preventDefault());
  svg.addEventListener("dblclick", (event) => {
    const inst = event.target.closest(".inst");
    if (inst) on.rename(inst.getAttribute("data-name"));
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

  const size = () => [svg.clientWidth, svg.clientHeight];

  return { render, addSymbol, worldAt, size, hasSymbol: (c) => symbols.has(c), backdrop };
}
