// The folder's table: folders first, sorted and filtered, every name set
// as text. The first screenful of rows goes in at once and the rest follow
// a slice per frame, so a folder of ten thousand names shows at once and a
// keystroke in the filter does not wait for the whole table.
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

// Rows added at once, then in each following frame: a screenful, then
// enough to fill the table within a few frames.
const FIRST_ROWS = 100;
const ROWS_PER_FRAME = 1000;
let pendingFrame = 0;

function rowsOf(folder, entries, from, to) {
  const fragment = document.createDocumentFragment();
  for (let index = from; index < to; index += 1) fragment.append(row(folder, entries[index]));
  return fragment;
}

// Replaces the table's rows: the first at once, the others in the frames
// after, unless the table is replaced again meanwhile. The tbody's
// data-complete says when every row is in. Returns how many are shown.
export function render(tbody, folder, entries) {
  cancelAnimationFrame(pendingFrame);
  let next = Math.min(FIRST_ROWS, entries.length);
  tbody.replaceChildren(rowsOf(folder, entries, 0, next));
  const more = () => {
    const end = Math.min(next + ROWS_PER_FRAME, entries.length);
    tbody.append(rowsOf(folder, entries, next, end));
    next = end;
    tbody.dataset.complete = String(next === entries.length);
    if (next < entries.length) pendingFrame = requestAnimationFrame(more);
  };
  tbody.dataset.complete = String(next === entries.length);
  if (next < entries.length) pendingFrame = requestAnimationFrame(more);
  return entries.length;
}
