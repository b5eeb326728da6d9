// The inspector (what is selected: an instance's name and settings, a port's
// external name, links and their routing bundle) and the list of checks.
// Touches only its own panels; edits go out through the callbacks.

/** Parse the text of a setting of type `type`: {value} or {error}. Pure. */
export function parseSetting(type, text) {
  if (Array.isArray(type)) return type.includes(text) ? { value: text } : { error: `choose one of ${type.join(", ")}` };
  const optional = type.endsWith("?");
  const base = optional ? type.slice(0, -1) : type;
  const trimmed = text.trim();
  if (optional && trimmed === "") return { value: null };
  if (base === "int") return /^[-+]?\d+$/.test(trimmed) ? { value: Number(trimmed) } : { error: "expected a whole number" };
  if (base === "float") {
    const value = Number(trimmed);
    return trimmed !== "" && Number.isFinite(value) ? { value } : { error: "expected a number" };
  }
  if (base === "bool") return { value: trimmed === "true" };
  if (/^(tuple|list)/.test(base) || base.startsWith("[")) {
    try {
      const value = JSON.parse(trimmed.startsWith("[") ? trimmed : `[${trimmed}]`);
      const numeric = /float|int/.test(base);
      if (Array.isArray(value) && (!numeric || value.every((v) => typeof v === "number"))) return { value };
    } catch {
      // fall through to the error
    }
    return { error: `expected ${base.replace(/ /g, "")}, e.g. 10, 10` };
  }
  return { value: text };
}

const show = (value) => (value === null || value === undefined ? "" : Array.isArray(value) ? value.join(", ") : String(value));

function node(tag, attrs = {}, text = "") {
  const n = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") n.className = v;
    else n.setAttribute(k, v);
  }
  if (text) n.textContent = text;
  return n;
}

/** An input for one setting: a select for choices, a checkbox for bool, else text. */
function settingInput(key, spec, current, choicesFor, on) {
  const row = node("div", { class: "setting", "data-setting": key });
  const label = node("label", {}, key);
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
    input = node("input", { type: "text", spellcheck: "false" });
    input.value = show(value);
    input.placeholder = show(spec.default);
  }
  input.name = key;
  const error = node("div", { class: "error" });
  const parse = () => (type === "bool" ? { value: input.checked } : choices ? { value: input.value } : parseSetting(String(type), input.value));
  input.addEventListener("input", () => {
    const result = parse();
    error.textContent = result.error ? `${key}: ${result.error}` : "";
    input.classList.toggle("invalid", Boolean(result.error));
  });
  input.addEventListener("change", () => {
    const result = parse();
    if (!result.error) on.setting(key, result.value);
  });
  const reset = node("button", { class: "reset", title: `reset ${key} to its default ${show(spec.default)}` }, "↺");
  reset.disabled = current === undefined;
  reset.addEventListener("click", () => on.reset(key));
  const hint = node("div", { class: "hint" }, `default ${show(spec.default) || "none"} · ${Array.isArray(type) ? "choice" : type}`);
  row.append(label, input, reset, hint, error);
  row.classList.toggle("changed", current !== undefined);
  return row;
}

export function createInspector(root, on) {
  const body = root.querySelector(".body");
  let shown = null;

  function nameField(label, value, problemOf, commit) {
    const wrap = node("div", { class: "field" });
    const input = node("input", { type: "text", name: label, spellcheck: "false" });
    input.value = value;
    const error = node("div", { class: "error" });
    input.addEventListener("input", () => {
      const problem = input.value === value ? "" : problemOf(input.value);
      error.textContent = problem;
      input.classList.toggle("invalid", Boolean(problem));
    });
    input.addEventListener("change", () => {
      if (input.value !== value && !problemOf(input.value)) commit(input.value);
    });
    wrap.append(node("label", {}, label), input, error);
    return wrap;
  }

  function instanceView(v) {
    const parts = [node("h3", {}, v.inst.component), nameField("name", v.name, v.nameProblem, (to) => on.rename(v.name, to))];
    if (!v.settings) parts.push(node("p", { class: "muted" }, "loading settings…"));
    else if (!Object.keys(v.settings).length) parts.push(node("p", { class: "muted" }, "no settings"));
    else {
      const callbacks = { setting: (k, val) => on.setting(v.name, k, val), reset: (k) => on.reset(v.name, k) };
      for (const [key, spec] of Object.entries(v.settings)) parts.push(settingInput(key, spec, v.inst.settings[key], v.choicesFor, callbacks));
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

  function linksView(v) {
    const parts = [node("h3", {}, `${v.links.length} link${v.links.length === 1 ? "" : "s"}`)];
    for (const l of v.links) parts.push(node("p", { class: "mono" }, `${l.a} → ${l.b}${l.bundle ? `  [${l.bundle}]` : ""}`));
    const bundle = v.links.every((l) => l.bundle && l.bundle === v.links[0].bundle) ? v.links[0].bundle : null;
    const strategies = Object.keys(v.strategies.strategies || {});
    if (!bundle) {
      const select = node("select", { name: "strategy" });
      for (const s of strategies) select.append(node("option", { value: s }, s));
      const button = node("button", { class: "primary" }, "Route as bundle");
      button.addEventListener("click", () => on.bundle(select.value));
      parts.push(node("label", {}, "routing strategy"), select, button);
      return parts;
    }
    const route = v.bundles[bundle];
    parts.push(node("h3", {}, `bundle ${bundle}: ${route.strategy}`));
    const params = (v.strategies.strategies || {})[route.strategy] || {};
    const choicesFor = (marker) => (v.strategies.refs || {})[marker] || v.choicesFor(marker) || null;
    const callbacks = {
      setting: (k, val) => on.bundleSettings(bundle, { ...route.settings, [k]: val }),
      reset: (k) => on.bundleSettings(bundle, Object.fromEntries(Object.entries(route.settings).filter(([key]) => key !== k))),
    };
    for (const [key, spec] of Object.entries(params)) {
      if (spec.type === "Waypoints" || spec.type === "Waypoints?") continue;
      parts.push(settingInput(key, spec, route.settings[key], choicesFor, callbacks));
    }
    return parts;
  }

  function circuitView(v) {
    return [
      node("h3", {}, v.path || "no circuit open"),
      node("p", { class: "muted" }, `${v.count} instances · ${v.links} links · ${v.ports} external ports`),
      node("p", { class: "muted" }, "Drag components from the palette. Drag from a port to a port to connect. R rotate · M mirror · Del delete · Ctrl+Z / Ctrl+Shift+Z · Ctrl+C / Ctrl+V · F fit · Ctrl+S save"),
    ];
  }

  const views = { instance: instanceView, port: portView, links: linksView, circuit: circuitView };

  /** Show a view; the same view object twice is not redrawn (keeps the focus while typing). */
  function showView(view) {
    if (shown && shown.key === view.key && shown.ref === view.ref) return;
    shown = view;
    body.replaceChildren(...views[view.kind](view));
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

/** The checks panel: warnings of the drawing and findings of "Build and check". */
export function createCheckList(root, { onPick }) {
  const list = root.querySelector("ul");
  const status = root.querySelector(".status");

  function show(title, items, kind) {
    status.textContent = title;
    status.dataset.kind = kind;
    list.replaceChildren(
      ...items.map((item) => {
        const li = node("li", { class: kind });
        if (item.category) li.append(node("strong", {}, `${item.category}: `));
        li.append(document.createTextNode(item.text));
        li.addEventListener("click", () => onPick(item));
        return li;
      }),
    );
  }

  return { show };
}
