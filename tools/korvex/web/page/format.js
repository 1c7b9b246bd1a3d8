// Numbers and paths as the page shows them. No DOM.

const UNITS = ["B", "KiB", "MiB", "GiB", "TiB"];

// 1536 -> "1.5 KiB"; bytes stay exact.
export function formatBytes(bytes) {
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < UNITS.length - 1) {
    value /= 1024;
    unit += 1;
  }
  if (unit === 0) return `${bytes} B`;
  return `${value < 10 ? value.toFixed(1) : Math.round(value)} ${UNITS[unit]}`;
}

// "/a/b" + "c" -> "/a/b/c".
export function joinPath(folder, name) {
  return folder === "/" ? `/${name}` : `${folder}/${name}`;
}

export function parentPath(path) {
  const slash = path.lastIndexOf("/");
  return slash <= 0 ? "/" : path.slice(0, slash);
}

// The folders from the root down: [{name: "phone", path: "/"}, {name: "a", path: "/a"}, ...].
export function crumbsOf(path) {
  const crumbs = [{ name: "Phone", path: "/" }];
  let walked = "";
  for (const part of path.split("/")) {
    if (part === "") continue;
    walked += `/${part}`;
    crumbs.push({ name: part, path: walked });
  }
  return crumbs;
}

// The rule the server applies to new names, so the page can say so first.
export function isPlainName(name) {
  if (name === "" || name === "." || name === "..") return false;
  return !/[/\\\u0000-\u001f\u007f]/.test(name);
}

const VIEWABLE = /\.(jpe?g|png|gif|webp|bmp|txt|log|md|csv|pdf)$/i;
export function isViewable(name) {
  return VIEWABLE.test(name);
}
