// The bridge to the program. Requests go out as JSON text through the web
// view's message handler; the program answers each numbered request once
// (or never, for "close" and "uninstall") and pushes its own messages
// ("state", "toast", …), all by calling window.krelReceive with JSON text.

const pending = new Map(); // request id → {resolve, reject}
let lastId = 0;
const pushHandlers = {}; // message type → function(message)

// A failure the user is told about in words: its message is German and
// may be shown as it stands.
class UserError extends Error {}

function postRaw(text) {
  const w = window;
  if (w.webkit && w.webkit.messageHandlers && w.webkit.messageHandlers.krel) {
    w.webkit.messageHandlers.krel.postMessage(text);
  } else if (w.chrome && w.chrome.webview) {
    w.chrome.webview.postMessage(text);
  } else {
    throw new UserError("Keine Verbindung zu KREL Play");
  }
}

// Sends `cmd` with the members of `args` and resolves with the reply's
// `result`. A reply never comes for "close" and "uninstall".
function call(cmd, args) {
  const id = ++lastId;
  const text = JSON.stringify(Object.assign({ id, cmd }, args || {}, { id, cmd }));
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject });
    try {
      postRaw(text);
    } catch (e) {
      pending.delete(id);
      reject(e instanceof UserError ? e : new UserError("Keine Verbindung zu KREL Play"));
    }
  });
}

// A notice without id; the program looks for its exact text.
function notify(cmd) {
  try {
    postRaw(JSON.stringify({ cmd }));
  } catch (e) {
    // Without a host there is nobody to tell.
  }
}

window.krelReceive = (data) => {
  let msg = data;
  if (typeof data === "string") {
    try {
      msg = JSON.parse(data);
    } catch (e) {
      return;
    }
  }
  if (!msg || typeof msg !== "object") return;
  if (typeof msg.id === "number" && pending.has(msg.id)) {
    const p = pending.get(msg.id);
    pending.delete(msg.id);
    if ("result" in msg) p.resolve(msg.result);
    else p.resolve({ error: typeof msg.error === "string" ? msg.error : "Befehl fehlgeschlagen" });
    return;
  }
  const handler = typeof msg.type === "string" && Object.hasOwn(pushHandlers, msg.type) ? pushHandlers[msg.type] : null;
  if (!handler) return;
  try {
    handler(msg);
  } catch (e) {
    console.error(e);
  }
};

// The text of an error result, or "" for a result that is none.
function errorOf(result) {
  return result && typeof result === "object" && typeof result.error === "string" && result.error ? result.error : "";
}

// Runs a command whose failure the user should see: resolves with the
// result, or with null after toasting the error (from the reply, or the
// bridge's own).
async function run(cmd, args) {
  let result;
  try {
    result = await call(cmd, args);
  } catch (e) {
    toast(e instanceof UserError ? e.message : "Befehl fehlgeschlagen");
    return null;
  }
  const error = errorOf(result);
  if (error) {
    toast(error);
    return null;
  }
  return result;
}
