// The page: the folder in the URL, its listing, the actions on it, the
// phone's state. Every name reaches the page as data and is set as text.
import { api, onLost, onReconnected } from "./api.js";
import { askName, confirmAction } from "./dialogs.js";
import { crumbsOf, formatBytes, isPlainName, joinPath } from "./format.js";
import { ordered, render } from "./listing.js";
import { Uploads, droppedFiles } from "./transfers.js";

const $ = (id) => document.getElementById(id);

const state = {
  folder: "/",
  entries: [],
  byPath: new Map(),
  sort: { key: "name", descending: false },
  loading: 0,
};

function folderFromUrl() {
  const path = new URLSearchParams(location.search).get("path");
  return path && path.startsWith("/") ? path : "/";
}

function showMessage(text, kind = "error") {
  $("message-text").textContent = text;
  $("message").dataset.kind = kind;
  $("message").hidden = false;
}
function clearMessage() {
  $("message").hidden = true;
}
const failed = (error) => showMessage(error.message);

function setConnection(connected, text) {
  const badge = $("connection");
  badge.dataset.state = connected ? "connected" : "disconnected";
  badge.textContent = text || (connected ? "Phone: connected" : "Phone: not connected");
}

async function refreshState() {
  try {
    setConnection((await api.state()).connected);
  } catch {
    setConnection(false, "korvex web: not answering");
  }
}

async function refreshSpace() {
  try {
    const space = await api.space(state.folder);
    // The phone answers in KiB.
    $("space").textContent = `${formatBytes(space.free_kib * 1024)} free`;
  } catch {
    $("space").textContent = "";
  }
}

function renderCrumbs() {
  const nav = $("crumbs");
  nav.replaceChildren();
  const crumbs = crumbsOf(state.folder);
  crumbs.forEach((crumb, index) => {
    const last = index === crumbs.length - 1;
    const element = document.createElement(last ? "span" : "a");
    element.textContent = crumb.name;
    if (last) {
      element.setAttribute("aria-current", "page");
    } else {
      element.href = `?${new URLSearchParams({ path: crumb.path })}`;
      element.dataset.path = crumb.path;
    }
    nav.append(element);
    if (!last) nav.append(Object.assign(document.createElement("span"), { className: "sep", textContent: "/" }));
  });
}

function renderRows() {
  const shown = ordered(state.entries, state.sort, $("filter").value);
  render($("rows"), state.folder, shown);
  const empty = $("empty");
  empty.hidden = shown.length > 0;
  empty.textContent = state.entries.length === 0 ? "This folder is empty." : "No name matches the filter.";
  for (const th of document.querySelectorAll("#listing th[aria-sort]")) {
    const key = th.querySelector("button").dataset.sort;
    th.setAttribute("aria-sort", key !== state.sort.key ? "none" : state.sort.descending ? "descending" : "ascending");
  }
}

async function load(folder) {
  const ticket = ++state.loading;
  state.folder = folder;
  document.title = `korvex — ${folder}`;
  renderCrumbs();
  document.body.dataset.loading = "true";
  try {
    const listing = await api.list(folder);
    if (ticket !== state.loading) return;
    state.entries = listing.entries;
    state.byPath = new Map(listing.entries.map((entry) => [joinPath(folder, entry.name), entry]));
    renderRows();
    setConnection(true);
  } catch (error) {
    if (ticket !== state.loading) return;
    state.entries = [];
    state.byPath = new Map();
    renderRows();
    failed(error);
  } finally {
    if (ticket === state.loading) document.body.dataset.loading = "false";
  }
  refreshSpace();
}

function go(folder) {
  clearMessage();
  $("filter").value = "";
  history.pushState(null, "", `?${new URLSearchParams({ path: folder })}`);
  load(folder);
}

async function act(action, path) {
  const entry = state.byPath.get(path);
  if (!entry) return;
  if (action === "open") return go(path);
  clearMessage();
  try {
    if (action === "rename") {
      const name = await askName(`New name for “${entry.name}”`, entry.name, "Rename");
      if (name === null || name === entry.name) return;
      if (!isPlainName(name)) return showMessage("A name may not be empty, “.” or “..”, nor hold “/” or “\\”.");
      await api.rename(path, name);
    } else if (action === "delete") {
      let question = `Delete the file “${entry.name}”?`;
      if (entry.kind === "directory") {
        const inside = (await api.list(path)).entries.length;
        question =
          inside === 0
            ? `Delete the empty folder “${entry.name}”?`
            : `Delete the folder “${entry.name}” and the ${inside} ${inside === 1 ? "entry" : "entries"} in it?`;
      }
      if (!(await confirmAction(question, "Delete"))) return;
      await api.remove(path, entry.kind === "directory");
    }
  } catch (error) {
    failed(error);
  }
  load(state.folder);
}

async function newFolder() {
  clearMessage();
  const name = await askName("Name of the new folder", "", "Create");
  if (name === null) return;
  if (!isPlainName(name)) return showMessage("A name may not be empty, “.” or “..”, nor hold “/” or “\\”.");
  try {
    await api.mkdir(state.folder, name);
  } catch (error) {
    failed(error);
  }
  load(state.folder);
}

const uploads = new Uploads({
  exists: (folder, name) => folder === state.folder && state.byPath.has(joinPath(folder, name)),
  landed: (folder) => {
    if (folder === state.folder) load(folder);
  },
  failed,
});

function wire() {
  $("rows").addEventListener("click", (event) => {
    const target = event.target.closest("[data-action]");
    if (!target) return;
    const action = target.dataset.action;
    if (action === "open" && (event.ctrlKey || event.metaKey || event.shiftKey || event.button !== 0)) return;
    event.preventDefault();
    act(action, target.closest("tr").dataset.path);
  });
  $("crumbs").addEventListener("click", (event) => {
    const link = event.target.closest("a[data-path]");
    if (!link || event.ctrlKey || event.metaKey) return;
    event.preventDefault();
    go(link.dataset.path);
  });
  for (const button of document.querySelectorAll("#listing th button")) {
    button.addEventListener("click", () => {
      const key = button.dataset.sort;
      state.sort = { key, descending: state.sort.key === key ? !state.sort.descending : key === "size" };
      renderRows();
    });
  }
  $("filter").addEventListener("input", renderRows);
  $("new-folder").addEventListener("click", newFolder);
  $("message-close").addEventListener("click", clearMessage);
  $("file-input").addEventListener("change", (event) => {
    const files = [...event.target.files].map((file) => ({ file, folder: state.folder }));
    event.target.value = "";
    uploads.add(files);
  });
  const zone = document.body;
  zone.addEventListener("dragover", (event) => {
    event.preventDefault();
    document.body.dataset.dragging = "true";
  });
  zone.addEventListener("dragleave", (event) => {
    if (event.relatedTarget === null) document.body.dataset.dragging = "false";
  });
  zone.addEventListener("drop", async (event) => {
    event.preventDefault();
    document.body.dataset.dragging = "false";
    const folder = state.folder;
    uploads.add(await droppedFiles(event.dataTransfer, folder, failed));
    if (folder === state.folder) load(folder);
  });
  window.addEventListener("popstate", () => load(folderFromUrl()));
  onReconnected(() => {
    setConnection(true);
    showMessage("The connection to the phone was lost and is back.", "note");
  });
  onLost(() => setConnection(false));
}

wire();
load(folderFromUrl());
refreshState();
setInterval(refreshState, 5000);
