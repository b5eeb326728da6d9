// The palette: the kit's components with their symbols, searchable by name and by
// what they are (their description); drag one out, or press Enter (or double-click)
// on one to place it in the middle of the drawing. Touches only its own panel.

/** Whether every word of a search occurs in a component's name or description. Pure. */
export function matches(words, name, description = "") {
  const text = `${name} ${description}`.toLowerCase();
  return words.every((w) => text.includes(w));
}

/** The words of a search text, lower case. */
export const searchWords = (text) => text.trim().toLowerCase().split(/\s+/).filter(Boolean);

export function createPalette(root, { symbolUrl, onDrop }) {
  const search = root.querySelector("input");
  const list = root.querySelector("ul");
  const empty = document.createElement("p");
  empty.className = "muted none";
  empty.hidden = true;
  list.after(empty);

  /** `components`: names in the kit's order; `descriptions`: name -> one line. */
  function show(components, descriptions = {}) {
    list.replaceChildren(
      ...components.map((name) => {
        const description = descriptions[name] || "";
        const item = document.createElement("li");
        item.className = "component";
        item.dataset.component = name;
        item.dataset.description = description;
        item.tabIndex = 0;
        item.setAttribute("role", "button");
        item.setAttribute("aria-label", `${name}${description ? `: ${description}` : ""}. Enter places it`);
        item.title = `${description ? `${description}\n` : ""}Drag onto the canvas, or press Enter to place it`;
        const img = document.createElement("img");
        img.src = symbolUrl(name);
        img.alt = "";
        img.draggable = false;
        const label = document.createElement("span");
        label.className = "names";
        const title = document.createElement("span");
        title.textContent = name;
        const about = document.createElement("small");
        about.textContent = description;
        label.append(title, about);
        item.append(img, label);
        return item;
      }),
    );
    filter();
  }

  function filter() {
    const words = searchWords(search.value);
    let shown = 0;
    for (const item of list.children) {
      item.hidden = !matches(words, item.dataset.component, item.dataset.description);
      if (!item.hidden) shown += 1;
    }
    empty.hidden = shown > 0 || !list.children.length;
    empty.textContent = `No component matches "${search.value.trim()}".`;
  }

  search.addEventListener("input", filter);
  search.addEventListener("keydown", (event) => {
    if (event.key !== "Enter") return;
    const first = [...list.children].find((item) => !item.hidden);
    if (first) first.focus();
  });

  list.addEventListener("keydown", (event) => {
    const item = event.target.closest("li.component");
    if (!item) return;
    if (event.key === "Enter" || event.key === " ") {
      event.preventDefault();
      onDrop(item.dataset.component, null, null);
    } else if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      event.preventDefault();
      const visible = [...list.children].filter((i) => !i.hidden);
      const next = visible[visible.indexOf(item) + (event.key === "ArrowDown" ? 1 : -1)];
      if (next) next.focus();
    }
  });

  list.addEventListener("pointerdown", (event) => {
    const item = event.target.closest("li.component");
    if (!item || event.button !== 0) return;
    event.preventDefault();
    const ghost = item.cloneNode(true);
    ghost.className = "component ghost";
    ghost.removeAttribute("tabindex");
    document.body.appendChild(ghost);
    const place = (e) => {
      ghost.style.left = `${e.clientX - 20}px`;
      ghost.style.top = `${e.clientY - 20}px`;
    };
    place(event);
    const up = (e) => {
      document.removeEventListener("pointermove", place);
      document.removeEventListener("pointerup", up);
      ghost.remove();
      onDrop(item.dataset.component, e.clientX, e.clientY);
    };
    document.addEventListener("pointermove", place);
    document.addEventListener("pointerup", up);
  });

  list.addEventListener("dblclick", (event) => {
    const item = event.target.closest("li.component");
    if (item) onDrop(item.dataset.component, null, null);
  });

  return { show };
}
