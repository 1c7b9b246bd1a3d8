// Uploads: a queue of files, two on the way at once, each with its bar,
// and one bar for the whole batch. A name that is already there asks
// replace or skip; a failure says why on its row.
import { api, upload } from "./api.js";
import { replaceOrSkip } from "./dialogs.js";
import { formatBytes, joinPath } from "./format.js";

const PARALLEL = 2;

export class Uploads {
  // exists(folder, name): whether the folder holds the name, as last listed;
  // landed(folder): a file arrived there; failed(error): show the reason.
  constructor({ exists, landed, failed }) {
    this.exists = exists;
    this.landed = landed;
    this.failed = failed;
    this.queue = [];
    this.items = [];
    this.running = 0;
    this.section = document.getElementById("transfers");
    this.list = document.getElementById("transfer-list");
    document.getElementById("cancel-all").addEventListener("click", () => this.cancelAll());
    document.getElementById("clear-done").addEventListener("click", () => this.clearDone());
  }

  // files: [{file, folder}] in the order they are to go.
  add(files) {
    for (const { file, folder } of files) {
      const item = { file, folder, name: file.name, loaded: 0, state: "queued", abort: null };
      item.element = this.rowFor(item);
      this.items.push(item);
      this.queue.push(item);
    }
    this.section.hidden = this.items.length === 0;
    this.update();
    this.pump();
  }

  rowFor(item) {
    const li = document.createElement("li");
    li.className = "transfer";
    const name = document.createElement("span");
    name.className = "transfer-name";
    name.textContent = item.name;
    const bar = document.createElement("progress");
    bar.max = Math.max(item.file.size, 1);
    bar.value = 0;
    bar.setAttribute("aria-label", `Upload of ${item.name}`);
    const status = document.createElement("span");
    status.className = "transfer-status";
    status.textContent = "waiting";
    const cancel = document.createElement("button");
    cancel.type = "button";
    cancel.textContent = "Cancel";
    cancel.setAttribute("aria-label", `Cancel ${item.name}`);
    cancel.addEventListener("click", () => this.cancel(item));
    li.append(name, bar, status, cancel);
    this.list.append(li);
    item.bar = bar;
    item.status = status;
    item.cancelButton = cancel;
    return li;
  }

  async pump() {
    while (this.running < PARALLEL && this.queue.length > 0) {
      const item = this.queue.shift();
      if (item.state !== "queued") continue;
      this.running += 1;
      this.send(item).finally(() => {
        this.running -= 1;
        this.update();
        this.pump();
      });
    }
  }

  async send(item) {
    let replace = false;
    if (this.exists(item.folder, item.name)) {
      const choice = await replaceOrSkip(item.name);
      if (choice !== "replace") return this.finish(item, choice === "skip" ? "skipped" : "cancelled");
      replace = true;
    }
    item.state = "sending";
    item.status.textContent = "0%";
    for (;;) {
      const transfer = upload(item.folder, item.name, item.file, replace, (loaded, total) => {
        item.loaded = loaded;
        item.bar.value = loaded;
        item.status.textContent = loaded >= total ? "to the phone…" : `${Math.floor((100 * loaded) / total)}%`;
        this.update();
      });
      item.abort = transfer.abort;
      try {
        await transfer.done;
        item.loaded = item.file.size;
        item.bar.value = item.bar.max;
        this.landed(item.folder);
        return this.finish(item, "done", "100%");
      } catch (error) {
        if (error.code === "already_exists" && !replace) {
          const choice = await replaceOrSkip(item.name);
          if (choice === "replace") {
            replace = true;
            continue;
          }
          return this.finish(item, choice === "skip" ? "skipped" : "cancelled");
        }
        if (error.code === "cancelled") return this.finish(item, "cancelled");
        this.failed(error);
        return this.finish(item, "failed", error.message);
      }
    }
  }

  finish(item, state, text = state) {
    item.state = state;
    item.abort = null;
    item.element.dataset.state = state;
    item.status.textContent = text;
    item.cancelButton.hidden = true;
  }

  cancel(item) {
    if (item.state === "queued") this.finish(item, "cancelled");
    else if (item.abort) item.abort();
    this.update();
  }

  cancelAll() {
    for (const item of this.items) this.cancel(item);
  }

  clearDone() {
    this.items = this.items.filter((item) => {
      const over = !["queued", "sending"].includes(item.state);
      if (over) item.element.remove();
      return !over;
    });
    this.section.hidden = this.items.length === 0;
    this.update();
  }

  update() {
    const counted = this.items.filter((item) => !["skipped", "cancelled"].includes(item.state));
    const total = counted.reduce((sum, item) => sum + item.file.size, 0);
    const loaded = counted.reduce((sum, item) => sum + (item.state === "done" ? item.file.size : item.loaded), 0);
    const bar = document.getElementById("batch-progress");
    bar.max = Math.max(total, 1);
    bar.value = total === 0 ? bar.max : loaded;
    const done = counted.filter((item) => item.state === "done").length;
    document.getElementById("batch-text").textContent =
      `${done} of ${counted.length} files, ${formatBytes(loaded)} of ${formatBytes(total)}`;
  }
}

// The files of a drop, folders walked where the browser gives them; each
// folder met is made on the phone first. Returns [{file, folder}].
export async function droppedFiles(dataTransfer, folder, failed) {
  const entries = [...dataTransfer.items]
    .map((item) => (item.webkitGetAsEntry ? item.webkitGetAsEntry() : null))
    .filter(Boolean);
  if (entries.length === 0) return [...dataTransfer.files].map((file) => ({ file, folder }));
  const found = [];
  const walk = async (entry, into) => {
    if (entry.isFile) {
      found.push({ file: await new Promise((ok, no) => entry.file(ok, no)), folder: into });
      return;
    }
    try {
      await api.mkdir(into, entry.name);
    } catch (error) {
      if (error.code !== "already_exists") {
        failed(error);
        return;
      }
    }
    const reader = entry.createReader();
    for (;;) {
      const batch = await new Promise((ok, no) => reader.readEntries(ok, no));
      if (batch.length === 0) break;
      for (const child of batch) await walk(child, joinPath(into, entry.name));
    }
  };
  for (const entry of entries) await walk(entry, folder);
  return found;
}
