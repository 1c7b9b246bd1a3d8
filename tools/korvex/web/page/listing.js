// The folder's table: folders first, sorted and filtered, every name set
// as text. A folder of up to a few hundred names is in the document whole;
// a bigger one keeps only the rows on and near the screen in it, between
// two spacer rows as tall as the rows they stand for, so opening ten
// thousand names or typing in the filter over them lays out a screenful.
import { downloadUrl } from "./api.js";
import { formatBytes, isViewable, joinPath } from "./format.js";

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: "base" });

// The last listing in its last order: a keystroke in the filter only
// filters, it does not sort ten thousand names again.
const sorted = { entries: null, key: "", descending: false, order: [], folded: [] };

export function ordered(entries, sort, filter) {
  if (sorted.entries !== entries || sorted.key !== sort.key || sorted.descending !== sort.descending) {
    const direction = sort.descending ? -1 : 1;
    const order = entries.slice().sort((a, b) => {
      if (a.kind !== b.kind) return a.kind === "directory" ? -1 : 1;
      const bySize = sort.key === "size" ? a.size - b.size : 0;
      return direction * (bySize || collator.compare(a.name, b.name));
    });
    Object.assign(sorted, { entries, key: sort.key, descending: sort.descending, order,
                            folded: order.map((entry) => entry.name.toLocaleLowerCase()) });
  }
  const needle = filter.trim().toLocaleLowerCase();
  if (!needle) return sorted.order.slice();
  return sorted.order.filter((_, index) => sorted.folded[index].includes(needle));
}

function actionButton(label, action, name) {
  const button = document.createElement("button");
  button.type = "button";
  button.textContent = label;
  button.dataset.action = action;
  button.setAttribute("aria-label", `${label} ${name}`);
  return button;
}

function row(folder, entry) {
  const path = joinPath(folder, entry.name);
  const tr = document.createElement("tr");
  tr.dataset.kind = entry.kind;
  tr.dataset.path = path;
  const nameCell = document.createElement("td");
  nameCell.className = "name";
  const link = document.createElement("a");
  link.className = entry.kind === "directory" ? "folder" : "file";
  link.textContent = entry.name;
  if (entry.kind === "directory") {
    link.href = `?${new URLSearchParams({ path })}`;
    link.dataset.action = "open";
  } else {
    link.href = downloadUrl(path);
    link.setAttribute("download", "");
  }
  nameCell.append(link);
  const sizeCell = document.createElement("td");
  sizeCell.className = "size";
  const sized = entry.kind === "file" && entry.size !== null;
  sizeCell.textContent = entry.kind === "directory" ? "folder" : sized ? formatBytes(entry.size) : "unknown";
  if (sized) sizeCell.title = `${entry.size} bytes`;
  const actions = document.createElement("td");
  actions.className = "actions";
  if (entry.kind === "file") {
    const download = document.createElement("a");
    download.className = "button";
    download.textContent = "Download";
    download.href = downloadUrl(path);
    download.setAttribute("download", "");
    download.setAttribute("aria-label", `Download ${entry.name}`);
    actions.append(download);
    if (isViewable(entry.name)) {
      const view = document.createElement("a");
      view.className = "button";
      view.textContent = "View";
      view.href = downloadUrl(path, true);
      view.target = "_blank";
      view.rel = "noopener";
      view.setAttribute("aria-label", `View ${entry.name}`);
      actions.append(view);
    }
  }
  actions.append(actionButton("Rename", "rename", entry.name), actionButton("Delete", "delete", entry.name));
  tr.append(nameCell, sizeCell, actions);
  return tr;
}

function rowsOf(folder, entries, from, to) {
  const fragment = document.createDocumentFragment();
  for (let index = from; index < to; index += 1) fragment.append(row(folder, entries[index]));
  return fragment;
}

// Folders up to this many names are in the document whole.
const WHOLE_UP_TO = 400;
// Rows kept in the document above and below the screen.
const OVERSCAN = 40;

const visible = { tbody: null, folder: "/", entries: [], rowHeight: 36, first: -1, last: -1, frame: 0 };

function spacer(height) {
  const tr = document.createElement("tr");
  tr.className = "spacer";
  tr.setAttribute("aria-hidden", "true");
  tr.style.height = `${height}px`;
  const td = document.createElement("td");
  td.colSpan = 3;
  tr.append(td);
  return tr;
}

// Puts the rows the screen shows (and OVERSCAN each side) in the document.
function drawWindow(force) {
  const { tbody, entries, rowHeight } = visible;
  const top = tbody.getBoundingClientRect().top;
  const first = Math.max(0, Math.min(entries.length, Math.floor(-top / rowHeight) - OVERSCAN));
  const last = Math.max(first, Math.min(entries.length, Math.ceil((window.innerHeight - top) / rowHeight) + OVERSCAN));
  if (!force && first === visible.first && last === visible.last) return;
  visible.first = first;
  visible.last = last;
  tbody.replaceChildren(
    spacer(first * rowHeight),
    rowsOf(visible.folder, entries, first, last),
    spacer((entries.length - last) * rowHeight),
  );
}

// The rows' height as laid out now (the window's width decides it), which
// the spacers stand for; draws again when it changed.
function measureRows() {
  const drawn = visible.tbody.querySelectorAll("tr[data-path]");
  if (drawn.length === 0) return;
  const span = drawn[drawn.length - 1].getBoundingClientRect().bottom - drawn[0].getBoundingClientRect().top;
  const height = span / drawn.length;
  if (height > 0 && Math.abs(height - visible.rowHeight) > 0.5) {
    visible.rowHeight = height;
    drawWindow(true);
  }
}

function windowMoved(event) {
  if (visible.frame || !visible.tbody?.classList.contains("windowed")) return;
  visible.frame = requestAnimationFrame(() => {
    visible.frame = 0;
    drawWindow(false);
    if (event.type === "resize") measureRows();
  });
}
window.addEventListener("scroll", windowMoved, { passive: true });
window.addEventListener("resize", windowMoved);

// Replaces the table's rows; returns how many are shown.
export function render(tbody, folder, entries) {
  Object.assign(visible, { tbody, folder, entries, first: -1, last: -1 });
  const windowed = entries.length > WHOLE_UP_TO;
  tbody.classList.toggle("windowed", windowed);
  if (!windowed) {
    tbody.replaceChildren(rowsOf(folder, entries, 0, entries.length));
    return entries.length;
  }
  drawWindow(true);
  measureRows();
  return entries.length;
}
