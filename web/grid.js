// The grid's cells on the page: one figure per operation in the menu's order (none left out), in
// #grid, each labelled with the menu's label and carrying data-mode with the mode's name; a
// click on one makes it the single view. Their canvases are drawn where the core runs.
const $ = (id) => document.getElementById(id);

/** Makes the cells (before the pipeline starts, which takes their canvases). */
export function buildGrid(core, choose) {
  const grid = $('grid');
  for (const op of core.operations) {
    if (op.id === core.none) continue;
    const figure = document.createElement('figure');
    figure.dataset.mode = op.name;
    figure.title = `${op.label} ${op.name}: click to show it alone`;
    const caption = document.createElement('figcaption');
    caption.textContent = op.label || op.name;
    const name = document.createElement('span');
    name.textContent = ` ${op.name}`;
    caption.appendChild(name);
    const canvas = document.createElement('canvas');
    canvas.width = 320;
    canvas.height = 240;
    figure.append(caption, canvas);
    figure.addEventListener('click', () => choose(op.id));
    grid.appendChild(figure);
  }
}

/** The page shows the grid, or the single view (the two views and the panel). */
export function showView(view) {
  const grid = view === 'grid';
  document.body.classList.toggle('grid', grid);
  $('grid').hidden = !grid;
  $('grid-button').setAttribute('aria-pressed', grid ? 'true' : 'false');
  $('grid-button').textContent = grid ? '▣ One operation / 単独表示' : '▦ Every operation / 一覧';
}
