// The server's JSON API. Every change carries the X-Korvex header, which a
// page from another site cannot send here.

const listeners = { reconnected: () => {}, lost: () => {} };

export function onReconnected(callback) {
  listeners.reconnected = callback;
}
export function onLost(callback) {
  listeners.lost = callback;
}

export class ApiError extends Error {
  constructor(status, code, message) {
    super(message);
    this.status = status;
    this.code = code;
  }
}

function query(params) {
  return new URLSearchParams(params).toString();
}

async function errorOf(response) {
  try {
    const body = await response.json();
    return new ApiError(response.status, body.error || "error", body.message || response.statusText);
  } catch {
    return new ApiError(response.status, "error", `${response.status} ${response.statusText}`);
  }
}

function noteHeaders(response) {
  if (response.headers.get("X-Korvex-Reconnected") === "1") listeners.reconnected();
}

async function call(method, url, body) {
  const init = { method, headers: {}, credentials: "same-origin", cache: "no-store" };
  if (method !== "GET") init.headers["X-Korvex"] = "1";
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(url, init);
  } catch {
    throw new ApiError(0, "server_unreachable", "korvex web does not answer: is it still running?");
  }
  noteHeaders(response);
  if (!response.ok) {
    const error = await errorOf(response);
    if (error.status === 502) listeners.lost();
    throw error;
  }
  return response.json();
}

export const api = {
  state: () => call("GET", "/api/state"),
  list: (path) => call("GET", `/api/list?${query({ path })}`),
  stat: (path) => call("GET", `/api/stat?${query({ path })}`),
  space: (path) => call("GET", `/api/space?${query({ path })}`),
  mkdir: (path, name) => call("POST", "/api/mkdir", { path, name }),
  rename: (path, name) => call("POST", "/api/rename", { path, name }),
  remove: (path, recursive) => call("POST", "/api/delete", { path, recursive }),
};

export function downloadUrl(path, view = false) {
  return `/api/download?${query(view ? { path, view: "1" } : { path })}`;
}

// Sends one file into `folder`. Returns {done: Promise, abort()}; progress(loaded, total) follows the bytes.
export function upload(folder, name, file, replace, progress) {
  const xhr = new XMLHttpRequest();
  const done = new Promise((resolve, reject) => {
    xhr.open("PUT", `/api/upload?${query({ path: folder, name, replace: replace ? "1" : "0" })}`);
    xhr.setRequestHeader("X-Korvex", "1");
    xhr.upload.onprogress = (event) => progress(event.loaded, event.total || file.size);
    xhr.onload = () => {
      if (xhr.getResponseHeader("X-Korvex-Reconnected") === "1") listeners.reconnected();
      let body = {};
      try {
        body = JSON.parse(xhr.responseText);
      } catch {
        body = {};
      }
      if (xhr.status === 201) resolve(body);
      else reject(new ApiError(xhr.status, body.error || "error", body.message || `upload failed (${xhr.status})`));
    };
    xhr.onerror = () => reject(new ApiError(0, "network", "the upload was cut off; the phone's file is unchanged"));
    xhr.onabort = () => reject(new ApiError(0, "cancelled", "cancelled"));
    xhr.send(file);
  });
  return { done, abort: () => xhr.abort() };
}
