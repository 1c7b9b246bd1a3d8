// The folder's table: folders first, sorted and filtered, every name set
// as text. Rows are built from one template and added in one go, so a
// folder of ten thousand names renders at once.
import { downloadUrl } from "./api.js";
import { formatBytes, isViewable, joinPath } from "./format.js";

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: "base" });

export function ordered(entries, sort, filter) {
  const needle = filter.trim().toLocaleLowerCase();
  const shown = needle ? entries.filter((e) => e.name.toLocaleLowerCase().includes(needle)) : entries.slice();
  const direction = sort.descending ? -1 : 1;
  shown.sort((a, b) => {
    if (a.kind !== b.kind) return a.kind === "directory" ? -1 : 1;
    const bySize = sort.key === "size" ? a.size - b.size : 0;
    return direction * (bySize || collator.compare(a.name, b.name));
  });
  return shown;
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

// Replaces the table's rows; returns how many are shown.
export function render(tbody, folder, entries) {
  const fragment = document.createDocumentFragment();
  for (const entry of entries) fragment.append(row(folder, entry));
  tbody.replaceChildren(fragment);
  return entries.length;
}
