// Calls to the editor service. Every function resolves to data or throws an
// Error whose message is the service's own text, for a designer to read (its first
// line says what went wrong).

async function request(url, options = {}) {
  let response;
  try {
    response = await fetch(url, { cache: "no-store", ...options });
  } catch {
    throw new Error("the server does not answer (is quillon serve still running?)");
  }
  if (!response.ok) {
    const text = (await response.text()).trim();
    let message = text;
    try {
      message = JSON.parse(text).error || text;
    } catch {
      // plain text answer
    }
    throw new Error(message.trim() || `the server answered ${response.status}`);
  }
  return response;
}

const json = async (url, options) => (await request(url, options)).json();
const encodePath = (path) => path.split("/").map(encodeURIComponent).join("/");

export const loadKit = () => json("/api/kit.json");
export const listCircuits = () => json("/api/circuits.json");
export const loadPorts = (component) => json(`/assets/ports-extended/${encodeURIComponent(component)}.json`);
export const loadSettings = (component) => json(`/assets/settings/${encodeURIComponent(component)}.json`);
export const loadStrategies = () => json("/assets/routing-strategies.json");
export const loadSymbol = async (component) => (await request(`/assets/svg/${encodeURIComponent(component)}.svg`)).text();
export const symbolUrl = (component) => `/assets/svg/${encodeURIComponent(component)}.svg`;
export const loadCircuit = (path) => json(`/assets/netlists/${encodePath(path)}.json`);
/** Where the layout of a netlist puts its instances: {instances: {name: {x, y, rotation, mirror, box}}}. */
export const loadPlacements = (netlist) =>
  json("/api/placements.json", { method: "POST", headers: { "Content-Type": "text/plain" }, body: JSON.stringify(netlist) });

/** Save a circuit document; resolves to the server's confirmation text. */
export async function saveCircuit(path, document) {
  const response = await request(`/assets/netlists/${encodePath(path)}.json`, {
    method: "POST",
    headers: { "Content-Type": "text/plain" },
    body: JSON.stringify(document),
  });
  return response.text();
}

/** Build the saved circuit and check it: {cell, report, findings: [...]}. */
export const buildAndCheck = (path) => json(`/api/check/${encodePath(path)}.json`, { method: "POST" });

/** The project's GDS and OASIS files: {layouts: [path relative to the project]}. */
export const listLayouts = () => json("/api/layouts.json");

/** Check a layout file of the project against the saved circuit: {cell, report, findings}. */
export const checkLayout = (path, layout, cell = "") =>
  json(`/api/check-layout/${encodePath(path)}.json`, {
    method: "POST",
    headers: { "Content-Type": "text/plain" },
    body: JSON.stringify(cell ? { layout, cell } : { layout }),
  });
