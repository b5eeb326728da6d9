// The top bar: the project's circuits, new circuit, save (with the unsaved
// marker), build and check, undo/redo, fit, and the status line.
// Touches only its own elements; actions go out through the callbacks.

export function createHeader(root, on) {
  const find = (selector) => root.querySelector(selector);
  const circuits = find("select[name=circuit]");
  const newName = find("input[name=new-circuit]");
  const buttons = {
    save: find("button[name=save]"),
    check: find("button[name=check]"),
    undo: find("button[name=undo]"),
    redo: find("button[name=redo]"),
    fit: find("button[name=fit]"),
    create: find("button[name=create]"),
  };
  const marker = find(".dirty");
  const status = find(".status");

  circuits.addEventListener("change", () => on.open(circuits.value));
  const create = () => {
    const name = newName.value.trim();
    if (name) on.create(name);
  };
  buttons.create.addEventListener("click", create);
  newName.addEventListener("keydown", (event) => {
    if (event.key === "Enter") create();
  });
  for (const name of ["save", "check", "undo", "redo", "fit"]) buttons[name].addEventListener("click", () => on[name]());

  function showCircuits(paths, current) {
    const options = paths.map((path) => {
      const option = document.createElement("option");
      option.value = path;
      option.textContent = path;
      return option;
    });
    if (current && !paths.includes(current)) {
      const option = document.createElement("option");
      option.value = current;
      option.textContent = `${current} (not saved yet)`;
      options.unshift(option);
    }
    circuits.replaceChildren(...options);
    circuits.value = current || "";
  }

  function showState({ path, dirty, canUndo, canRedo, busy }) {
    marker.hidden = !dirty;
    buttons.save.disabled = !path || busy;
    buttons.check.disabled = !path || busy;
    buttons.undo.disabled = !canUndo;
    buttons.redo.disabled = !canRedo;
    document.title = `${dirty ? "● " : ""}${path || "quillon"} · quillon editor`;
  }

  /** One line (cut short when long: the whole text shows on hover; errors of checks are
   * listed in full in the checks panel). */
  function showStatus(text, kind = "info") {
    status.textContent = text.split("\n")[0];
    status.title = text;
    status.dataset.kind = kind;
  }

  const clearNewName = () => {
    newName.value = "";
  };

  return { showCircuits, showState, showStatus, clearNewName };
}
