// How numbers, sizes, times and names read on the page (German).

const pad2 = (n) => String(n).padStart(2, "0");
const comma = (text) => text.replace(".", ",");

// Sizes of local clips and free space, in decimal units.
function fmtBytes(n) {
  n = Number(n) || 0;
  if (n <= 0) return "0 MB";
  if (n > 1e9) return comma((n / 1e9).toFixed(1)) + " GB";
  if (n >= 1e6) return Math.round(n / 1e6) + " MB";
  return Math.max(1, Math.round(n / 1e3)) + " KB";
}

// Sizes in the cloud, in binary units; "2,0 GB" reads "2 GB".
function fmtCloudBytes(n) {
  n = Number(n) || 0;
  if (n <= 0) return "0 MB";
  const GiB = 1024 ** 3, MiB = 1024 ** 2;
  if (n >= GiB) return comma((n / GiB).toFixed(1)).replace(/,0$/, "") + " GB";
  if (n >= MiB) return Math.round(n / MiB) + " MB";
  return Math.max(1, Math.round(n / 1024)) + " KB";
}

// Minutes ":" two-digit seconds.
function fmtClock(seconds) {
  const s = Math.max(0, Math.floor(Number(seconds) || 0));
  return Math.floor(s / 60) + ":" + pad2(s % 60);
}

// The running time of a recording from its 100-ns units.
function fmtRecordTime(hns) {
  return fmtClock((Number(hns) || 0) / 1e7);
}

// A date as the clip lists show it: "Heute, 14:07" or "05.03.25, 14:07".
function fmtDate(value, now) {
  const d = toDate(value);
  if (!d) return "–";
  const today = now || new Date();
  const time = pad2(d.getHours()) + ":" + pad2(d.getMinutes());
  if (d.getFullYear() === today.getFullYear() && d.getMonth() === today.getMonth() && d.getDate() === today.getDate())
    return "Heute, " + time;
  return pad2(d.getDate()) + "." + pad2(d.getMonth() + 1) + "." + pad2(d.getFullYear() % 100) + ", " + time;
}

// Milliseconds (or seconds, or an ISO text from the cloud) as a Date.
function toDate(value) {
  if (value === null || value === undefined || value === "") return null;
  let ms = typeof value === "number" ? value : Number.isFinite(Number(value)) ? Number(value) : Date.parse(value);
  if (!Number.isFinite(ms)) return null;
  if (ms > 0 && ms < 1e11) ms *= 1000;
  const d = new Date(ms);
  return Number.isNaN(d.getTime()) ? null : d;
}

// The replay length: "45 s", "1 min", "1,5 min".
function fmtReplay(seconds) {
  const s = Math.round(Number(seconds) || 0);
  if (s < 60) return s + " s";
  const min = s / 60;
  return (Number.isInteger(min) ? String(min) : comma(min.toFixed(1))) + " min";
}

// A clip's file name as shown: without its ".mp4".
function clipName(file) {
  return String(file || "").replace(/\.mp4$/i, "");
}
