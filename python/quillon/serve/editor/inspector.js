// The inspector (what is selected: an instance's name, component and settings,
// a port's external name, links and their routing bundle) and the checks panel.
// Touches only its own panels; edits go out through the callbacks.

import { fittingStrategies, unknownSettings } from "./model.js";

/** A number as a person writes it in decimal: no hexadecimal, no "Infinity", no blanks. */
const DECIMAL = /^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;
const WHOLE = /^[-+]?\d+$/;
const isDecimal = (text) => DECIMAL.test(text) && Number.isFinite(Number(text));

/** Why `value` is outside the limits a kit declares for a setting (minimum, maximum,
 * exclusive_minimum, exclusive_maximum), or "". */
export function limitProblem(value, spec = {}) {
  if (typeof value !== "number") return "";
  if (spec.minimum !== undefined && value < spec.minimum) return `must be at least ${spec.minimum}`;
  if (spec.exclusive_minimum !== undefined && value <= spec.exclusive_minimum) return `must be more than ${spec.exclusive_minimum}`;
  if (spec.maximum !== undefined && value > spec.maximum) return `must be at most ${spec.maximum}`;
  if (spec.exclusive_maximum !== undefined && value >= spec.exclusive_maximum) return `must be less than ${spec.exclusive_maximum}`;
  return "";
}

/** Parse the text of a setting of type `type` (with the kit's limits in `spec`): {value} or {error}. Pure. */
export function parseSetting(type, text, spec = {}) {
  if (Array.isArray(type)) return type.includes(text) ? { value: text } : { error: `choose one of ${type.join(", ")}` };
  const optional = type.endsWith("?");
  const base = optional ? type.slice(0, -1) : type;
  const trimmed = text.trim();
  if (optional && trimmed === "") return { value: null };
  const limited = (value) => {
    const problem = limitProblem(value, spec);
    return problem ? { error: problem } : { value };
  };
  if (base === "int") return WHOLE.test(trimmed) && Number.isSafeInteger(Number(trimmed)) ? limited(Number(trimmed)) : { error: "expected a whole number" };
  if (base === "float") return isDecimal(trimmed) ? limited(Number(trimmed)) : { error: "expected a number" };
  if (base === "bool") return { value: trimmed === "true" };
  if (/^(tuple|list)/.test(base) || base.startsWith("[")) {
    const numeric = /float|int/.test(base);
    const items = trimmed.replace(/^\[|\]$/g, "").split(",").map((t) => t.trim());
    if (numeric && items.every(isDecimal)) {
      const value = items.map(Number);
      const problem = value.map((v) => limitProblem(v, spec)).find(Boolean);
      return problem ? { error: `each ${problem}` } : { value };
    }
    if (!numeric) {
      try {
        const value = JSON.parse(trimmed.startsWith("[") ? trimmed : `[${trimmed}]`);
        if (Array.isArray(value)) return { value };
      } catch {
        // fall through to the error
      }
    }
    return { error: `expected ${base.replace(/ /g, "")}, e.g. 10, 10` };
  }
  return { value: text };
}

const show = (value) => (value === null || value === undefined ? "" : Array.isArray(value) ? value.join(", ") : typeof value === "object" ? JSON.stringify(value) : String(value));

let ids = 0;

function node(tag, attrs = {}, text = "") {
  const n = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") n.className = v;
    else n.setAttribute(k, v);
  }
  if (text) n.textContent = text;
  return n;
}

/** A label tied to its field, and the field's error tied to it for screen readers. */
function labelled(text, input, error = null) {
  ids += 1;
  input.id = `field-${ids}`;
  if (error) {
    error.id = `field-${ids}-error`;
    input.setAttribute("aria-describedby", error.id);
  }
  return node("label", { for: input.id }, text);
}

/** Run an edit after the event that asked for it: a change fires as the focus moves on
 * (Tab), and the panel redrawn by the edit must find the focus where it went. */
const later = (action) => setTimeout(action, 0);

/** An input for one setting: a select for choices, a checkbox for bool, else text. */
function settingInput(key, spec, current, choicesFor, on) {
  const row = node("div", { class: "setting", "data-setting": key });
  const type = spec.type;
  const choices = Array.isArray(type) ? type : typeof type === "string" && type.startsWith("@") ? choicesFor(type.replace(/\?$/, "")) : null;
  const value = current === undefined ? spec.default : current;
  let input;
  if (choices) {
    input = node("select");
    for (const c of choices) input.append(node("option", { value: c }, c));
    input.value = show(value);
  } else if (type === "bool") {
    input = node("input", { type: "checkbox" });
    input.checked = Boolean(value);
  } else {
    input = node("input", { type: "text", spellcheck: "false", autocomplete: "off" });
    input.value = show(value);
    input.placeholder = show(spec.default);
  }
  input.name = key;
  input.dataset.focus = `setting:${key}`;
  const error = node("div", { class: "error", role: "alert" });
  const label = labelled(key, input, error);
  const parse = () => (type === "bool" ? { value: input.checked } : choices ? { value: input.value } : parseSetting(String(type), input.value, spec));
  input.addEventListener("input", () => {
    const result = parse();
    error.textContent = result.error ? `${key}: ${result.error}` : "";
    input.classList.toggle("invalid", Boolean(result.error));
    input.setAttribute("aria-invalid", String(Boolean(result.error)));
  });
  input.addEventListener("change", () => {
    const result = parse();
    if (!result.error) later(() => on.setting(key, result.value));
  });
  const reset = node("button", { class: "reset", title: `reset ${key} to its default ${show(spec.default)}`, "aria-label": `reset ${key} to its default` }, "↺");
  reset.dataset.focus = `reset:${key}`;
  reset.disabled = current === undefined;
  reset.addEventListener("click", () => on.reset(key));
  const limits = [["minimum", "≥"], ["exclusive_minimum", ">"], ["maximum", "≤"], ["exclusive_maximum", "<"]]
    .filter(([k]) => spec[k] !== undefined).map(([k, sign]) => ` · ${sign} ${spec[k]}`).join("");
  const hint = node("div", { class: "hint" }, `default ${show(spec.default) || "none"} · ${Array.isArray(type) ? "choice" : type}${limits}`);
  row.append(label, input, reset, hint, error);
  row.classList.toggle("changed", current !== undefined);
  return row;
}

/** A setting of the file that the kit's component does not have: shown, and removable. */
function unknownSettingRow(key, value, on) {
  const row = node("div", { class: "setting unknown", "data-setting": key });
  const text = node("div", { class: "value mono" }, `${key}: ${show(value)}`);
  const remove = node("button", { class: "remove", "aria-label": `remove the unknown setting ${key}` }, "Remove");
  remove.dataset.focus = `remove:${key}`;
  remove.addEventListener("click", () => on.reset(key));
  row.append(text, remove, node("div", { class: "hint error" }, "the kit's component has no such setting: the build refuses it"));
  return row;
}

export function createInspector(root, on) {
  const body = root.querySelector(".body");
  let shown = null;

  function nameField(label, value, problemOf, commit) {
    const wrap = node("div", { class: "field" });
    const input = node("input", { type: "text", name: label, spellcheck: "false", autocomplete: "off" });
    input.dataset.focus = `field:${label}`;
    input.value = value;
    const error = node("div", { class: "error", role: "alert" });
    input.addEventListener("input", () => {
      const problem = input.value === value ? "" : problemOf(input.value);
      error.textContent = problem;
      input.classList.toggle("invalid", Boolean(problem));
      input.setAttribute("aria-invalid", String(Boolean(problem)));
    });
    input.addEventListener("change", () => {
      if (input.value !== value && !problemOf(input.value)) later(() => commit(input.value));
    });
    wrap.append(labelled(label, input, error), input, error);
    return wrap;
  }

  /** An unknown component: say so, and offer the kit's components instead. */
  function componentChoice(v) {
    const wrap = node("div", { class: "field unknown" });
    const select = node("select", { name: "component" });
    select.dataset.focus = "field:component";
    for (const c of v.components) select.append(node("option", { value: c }, c));
    const use = node("button", {}, "Use this component");
    use.dataset.focus = "use-component";
    use.addEventListener("click", () => on.component(v.name, select.value));
    wrap.append(node("p", { class: "error" }, `The kit has no component "${v.inst.component}".`), labelled("replace with", select), select, use);
    return wrap;
  }

  function instanceView(v) {
    const parts = [node("h3", {}, v.inst.component), nameField("name", v.name, v.nameProblem, (to) => on.rename(v.name, to))];
    if (!v.known) parts.push(componentChoice(v));
    const callbacks = { setting: (k, val) => on.setting(v.name, k, val), reset: (k) => on.reset(v.name, k) };
    if (!v.known) {
      for (const [key, value] of Object.entries(v.inst.settings)) parts.push(unknownSettingRow(key, value, callbacks));
    } else if (!v.settings) parts.push(node("p", { class: "muted" }, "loading settings…"));
    else {
      if (!Object.keys(v.settings).length) parts.push(node("p", { class: "muted" }, "no settings"));
      for (const [key, spec] of Object.entries(v.settings)) parts.push(settingInput(key, spec, v.inst.settings[key], v.choicesFor, callbacks));
      for (const key of unknownSettings(v.inst, v.settings)) parts.push(unknownSettingRow(key, v.inst.settings[key], callbacks));
    }
    const placement = `x ${v.inst.x} · y ${v.inst.y} · ${v.inst.rotation}°${v.inst.mirror ? " · mirrored" : ""}`;
    parts.push(node("p", { class: "muted" }, placement));
    return parts;
  }

  function portView(v) {
    const current = Object.entries(v.ports).find(([, e]) => e === v.endpoint);
    const problemOf = (name) => (name === "" ? "" : name in v.ports ? `"${name}" is already an external port` : /^[A-Za-z_][A-Za-z0-9_]*$/.test(name) ? "" : "use letters, digits and _");
    return [
      node("h3", {}, `port ${v.endpoint}`),
      node("p", { class: "muted" }, `${v.type} port; name it to make it a port of the circuit (empty: not external)`),
      nameField("external name", current ? current[0] : "", problemOf, (name) => on.external(name, v.endpoint)),
    ];
  }

  /** A select of routing strategies with its label. */
  function strategySelect(names, current, focusKey) {
    const select = node("select", { name: "strategy" });
    select.dataset.focus = focusKey;
    for (const s of names) select.append(node("option", { value: s }, s));
    if (current) select.value = current;
    return [labelled("routing strategy", select), select];
  }

  function linksView(v) {
    const parts = [node("h3", {}, `${v.links.length} link${v.links.length === 1 ? "" : "s"}`)];
    for (const l of v.links) parts.push(node("p", { class: "mono" }, `${l.a} → ${l.b}${l.bundle ? `  [${l.bundle}]` : ""}`));
    const electrical = v.links[0].electrical;
    if (v.links.some((l) => l.electrical !== electrical)) {
      parts.push(node("p", { class: "muted" }, "Optical and electrical links cannot share a bundle: select links of one kind."));
      return parts;
    }
    const strategies = v.strategies.strategies || {};
    const fitting = fittingStrategies(strategies, electrical);
    const bundle = v.links.every((l) => l.bundle && l.bundle === v.links[0].bundle) ? v.links[0].bundle : null;
    const kind = electrical ? "electrical" : "optical";
    if (!bundle) {
      if (!fitting.length) {
        parts.push(node("p", { class: "muted" }, `The kit has no routing strategy for ${kind} links.`));
        return parts;
      }
      const [label, select] = strategySelect(fitting, null, "new-strategy");
      const button = node("button", { class: "primary" }, "Route as bundle");
      button.dataset.focus = "route";
      button.addEventListener("click", () => on.bundle(select.value));
      parts.push(label, select, button);
      if (v.links.some((l) => l.bundle)) parts.push(unbundleButton());
      return parts;
    }
    const route = v.bundles[bundle];
    parts.push(node("h3", {}, `bundle ${bundle}: ${route.strategy}`));
    const [label, select] = strategySelect(fitting.includes(route.strategy) ? fitting : [route.strategy, ...fitting], route.strategy, "strategy");
    select.addEventListener("change", () => later(() => on.bundleStrategy(bundle, select.value)));
    parts.push(label, select);
    if (!fitting.includes(route.strategy)) {
      parts.push(node("p", { class: "error" }, `${route.strategy} does not route ${kind} links: choose another strategy.`));
    }
    const params = strategies[route.strategy] || {};
    const choicesFor = (marker) => (v.strategies.refs || {})[marker] || v.choicesFor(marker) || null;
    const callbacks = {
      setting: (k, val) => on.bundleSettings(bundle, { ...route.settings, [k]: val }),
      reset: (k) => on.bundleSettings(bundle, Object.fromEntries(Object.entries(route.settings).filter(([key]) => key !== k))),
    };
    for (const [key, spec] of Object.entries(params)) {
      if (spec.type === "Waypoints" || spec.type === "Waypoints?" || key === "port_type") continue;
      parts.push(settingInput(key, spec, route.settings[key], choicesFor, callbacks));
    }
    parts.push(unbundleButton());
    return parts;
  }

  function unbundleButton() {
    const button = node("button", {}, "Unbundle");
    button.dataset.focus = "unbundle";
    button.addEventListener("click", () => on.unbundle());
    return button;
  }

  function circuitView(v) {
    return [
      node("h3", {}, v.path || "no circuit open"),
      node("p", { class: "muted" }, `${v.count} instances · ${v.links} links · ${v.ports} external ports`),
      node("p", { class: "muted" }, "Drag components from the palette (or press Enter on one). Drag from a port to a port to connect. With the drawing focused: N / L select the next instance / link (Shift: previous) · R rotate · M mirror · Del delete · arrows move · Ctrl+Z / Ctrl+Shift+Z · Ctrl+C / Ctrl+V · F fit; Ctrl+S save; double-click an instance to rename it"),
    ];
  }

  const views = { instance: instanceView, port: portView, links: linksView, circuit: circuitView };

  /** Show a view; the same view object twice is not redrawn (keeps the focus while typing).
   * A redrawn view gives the focus back to the field that had it (by its role, not its node). */
  function showView(view) {
    if (shown && shown.key === view.key && shown.ref === view.ref) return;
    shown = view;
    const active = body.contains(document.activeElement) ? document.activeElement : null;
    const focusKey = active && active.dataset.focus;
    const range = active && typeof active.selectionStart === "number" ? [active.selectionStart, active.selectionEnd] : null;
    body.replaceChildren(...views[view.kind](view));
    if (!focusKey) return;
    const again = body.querySelector(`[data-focus="${CSS.escape(focusKey)}"]`);
    const target = again && !again.disabled ? again : body.querySelector("input, select, button:not(:disabled)") || root;
    target.focus({ preventScroll: true });
    if (target === again && range && typeof again.setSelectionRange === "function") again.setSelectionRange(...range);
  }

  /** Put the caret in a field of the view shown (the instance's name, say), its text selected. */
  function focus(field) {
    const input = body.querySelector(`input[name="${field}"]`);
    if (input) {
      input.focus();
      input.select();
    }
  }

  return { show: showView, focus };
}

/** The checks panel: the warnings of the drawing, the findings of the last check (marked
 * stale once the circuit changed) and the errors of a check that failed, in full; the
 * form of "Check a layout". */
export function createCheckList(root, { onPick, onCheckLayout, onListLayouts }) {
  const list = root.querySelector("ul");
  const status = root.querySelector(".status");
  const layouts = root.querySelector("select[name=layout]");
  const cell = root.querySelector("input[name=cell]");
  const run = root.querySelector("button[name=check-layout]");

  run.addEventListener("click", () => {
    if (layouts.value) onCheckLayout(layouts.value, cell.value.trim());
  });
  layouts.addEventListener("focus", () => onListLayouts()); // a layout written meanwhile shows up

  function show(title, items, kind) {
    status.textContent = title;
    status.dataset.kind = kind;
    list.replaceChildren(
      ...items.map((item) => {
        const li = node("li", { class: item.kind || kind });
        const target = item.instances && item.instances.length ? node("button", { class: "pick", title: "show on the drawing" }) : node("div", { class: "text" });
        if (item.category) target.append(node("strong", {}, `${item.category}: `));
        target.append(document.createTextNode(item.text));
        if (target.tagName === "BUTTON") target.addEventListener("click", () => onPick(item));
        li.append(target);
        return li;
      }),
    );
  }

  let known = null;
  let busy = false;
  const enable = () => {
    run.disabled = busy || !(known && known.length);
  };

  /** The project's layout files to pick from. */
  function showLayouts(paths) {
    if (known && paths.length === known.length && paths.every((p, k) => p === known[k])) return; // an open list stays open
    const current = layouts.value;
    known = paths;
    layouts.replaceChildren(...paths.map((p) => node("option", { value: p }, p)));
    if (!paths.length) layouts.append(node("option", { value: "" }, "no GDS or OASIS file in the project"));
    if (paths.includes(current)) layouts.value = current;
    enable();
  }

  function setBusy(flag) {
    busy = flag;
    enable();
  }

  return { show, showLayouts, setBusy };
}
