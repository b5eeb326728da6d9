// Renaming in place: a text field over the drawing, where the instance is. Enter
// (or leaving the field) renames, Escape keeps the old name. Touches only its own field.

export function createNameBox(stage, { problemOf, rename, done }) {
  const box = document.createElement("div");
  box.className = "namebox";
  box.hidden = true;
  const input = document.createElement("input");
  input.type = "text";
  input.name = "rename";
  input.spellcheck = false;
  input.autocomplete = "off";
  const error = document.createElement("div");
  error.className = "error";
  error.id = "namebox-error";
  error.setAttribute("role", "alert");
  input.setAttribute("aria-describedby", error.id);
  box.append(input, error);
  stage.append(box);
  let editing = null; // the name being changed

  function close(commit) {
    if (editing === null) return;
    const from = editing;
    const to = input.value.trim();
    editing = null;
    box.hidden = true;
    if (commit && to !== from && !problemOf(to)) rename(from, to);
    done();
  }

  /** Open the field over the point (x, y) of the stage, for the instance `name`. */
  function open(name, x, y) {
    editing = name;
    input.value = name;
    input.setAttribute("aria-label", `New name of ${name}`);
    error.textContent = "";
    input.classList.remove("invalid");
    box.style.left = `${Math.round(x)}px`;
    box.style.top = `${Math.round(y)}px`;
    box.hidden = false;
    input.focus();
    input.select();
  }

  input.addEventListener("input", () => {
    const to = input.value.trim();
    const problem = to === editing ? "" : problemOf(to);
    error.textContent = problem;
    input.classList.toggle("invalid", Boolean(problem));
  });
  input.addEventListener("keydown", (event) => {
    if (event.key === "Enter") {
      event.preventDefault();
      if (!problemOf(input.value.trim()) || input.value.trim() === editing) close(true);
    } else if (event.key === "Escape") {
      event.preventDefault();
      close(false);
    }
  });
  input.addEventListener("blur", () => close(true));

  return { open, isOpen: () => editing !== null };
}
