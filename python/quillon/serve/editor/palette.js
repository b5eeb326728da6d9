// The palette: the kit's components with their symbols, searchable; drag one
// out (or double-click it) to place it. Touches only its own panel.

export function createPalette(root, { symbolUrl, onDrop }) {
  const search = root.querySelector("input");
  const list = root.querySelector("ul");

  function show(components) {
    list.replaceChildren(
      ...components.map((name) => {
        const item = document.createElement("li");
        item.className = "component";
        item.dataset.component = name;
        item.title = `${name}: drag onto the canvas`;
        const img = document.createElement("img");
        img.src = symbolUrl(name);
        img.alt = "";
        img.draggable = false;
        const label = document.createElement("span");
        label.textContent = name;
        item.append(img, label);
        return item;
      }),
    );
    filter();
  }

  function filter() {
    const words = search.value.trim().toLowerCase().split(/\s+/).filter(Boolean);
    for (const item of list.children) {
      item.hidden = !words.every((w) => item.dataset.component.toLowerCase().includes(w));
    }
  }

  search.addEventListener("input", filter);

  list.addEventListener("pointerdown", (event) => {
    const item = event.target.closest("li.component");
    if (!item || event.button !== 0) return;
    event.preventDefault();
    const ghost = item.cloneNode(true);
    ghost.className = "component ghost";
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
