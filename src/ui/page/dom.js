// Building elements. Texts always become text nodes, never markup, so that
// names from the clip folder or the network show exactly as they are.

const $ = (sel, root) => (root || document).querySelector(sel);
const $$ = (sel, root) => Array.from((root || document).querySelectorAll(sel));

// Members set as properties rather than attributes.
const PROPS = new Set(["value", "checked", "disabled", "hidden", "selected", "muted", "autoplay", "controls", "title", "tabIndex", "type"]);

// h("button.btn.primary#save", {onclick, title}, "Text", child, [more]) — the
// tag may carry classes after dots and an id after "#"; null, false and
// undefined children are left out.
function h(tag, props, ...children) {
  const [head, id] = tag.split("#");
  const [name, ...classes] = head.split(".");
  const el = document.createElement(name || "div");
  if (id) el.id = id;
  if (classes.length) el.className = classes.join(" ");
  for (const [k, v] of Object.entries(props || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k.startsWith("on") && typeof v === "function") el.addEventListener(k.slice(2), v);
    else if (k === "class") el.classList.add(...String(v).split(" ").filter(Boolean));
    else if (k === "dataset") Object.assign(el.dataset, v);
    else if (PROPS.has(k)) el[k] = v;
    else el.setAttribute(k, v === true ? "" : String(v));
  }
  appendAll(el, children);
  return el;
}

function appendAll(el, children) {
  for (const c of children) {
    if (c === null || c === undefined || c === false) continue;
    if (Array.isArray(c)) appendAll(el, c);
    else el.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
}

// Replaces the children of `el`.
function fill(el, ...children) {
  el.replaceChildren();
  appendAll(el, children);
  return el;
}

// Wraps a handler: whatever goes wrong inside ends as a German toast,
// never as an exception the user could see.
function act(fn) {
  return (...a) => {
    Promise.resolve()
      .then(() => fn(...a))
      .catch((e) => {
        console.error(e);
        toast(e instanceof UserError ? e.message : "Aktion fehlgeschlagen");
      });
  };
}

// The in-page toast: one line at a time, 2600 ms, a new one replaces it.
let toastTimer = 0;
function toast(text) {
  const el = $("#toast");
  el.textContent = String(text);
  el.classList.add("show");
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => el.classList.remove("show"), 2600);
}

// An on/off switch; `onToggle(next)` decides what happens, and the switch
// shows what the program accepted (setSwitch, or a redraw).
function switchEl(on, onToggle, label) {
  const el = h("button.switch", {
    type: "button",
    role: "switch",
    "aria-checked": on ? "true" : "false",
    "aria-label": label || null,
    onclick: act(() => onToggle(el.getAttribute("aria-checked") !== "true")),
  }, h("span.knob"));
  return el;
}

function setSwitch(el, on) {
  el.setAttribute("aria-checked", on ? "true" : "false");
}

// A select of {value, label, disabled} entries; values are compared as text.
function selectEl(options, current, onChange, label) {
  const el = h("select.select", { "aria-label": label || null },
    options.map((o) => h("option", { value: String(o.value), disabled: !!o.disabled, selected: String(o.value) === String(current) }, o.label)));
  el.addEventListener("change", act(() => onChange(el.value)));
  return el;
}

// A settings row: label with an optional second line, control on the right;
// controls marked "row-extra" take a line of their own below.
function row(label, sub, ...controls) {
  const flat = controls.flat(Infinity).filter(Boolean);
  const extra = flat.filter((c) => c.classList && c.classList.contains("row-extra"));
  return h("div.row", null,
    h("div.row-text", null, h("div.row-label", null, label), sub ? h("div.row-sub", null, sub) : null),
    h("div.row-ctl", null, flat.filter((c) => !extra.includes(c))),
    extra);
}

// A key badge with a hotkey's display name; unbound keys ("–") get none.
function keyBadge(name) {
  return name && name !== "–" ? h("kbd.key", null, name) : null;
}

// An accordion whose open state lives as long as the page.
function accordion(key, title, sub, body) {
  const open = nav.accordions.has(key);
  const content = h("div.acc-body", { hidden: !open });
  if (open) appendAll(content, [body()]);
  const head = h("button.acc-head", {
    type: "button",
    "aria-expanded": open ? "true" : "false",
    onclick: () => {
      const nowOpen = !nav.accordions.has(key);
      if (nowOpen) nav.accordions.add(key);
      else nav.accordions.delete(key);
      head.setAttribute("aria-expanded", nowOpen ? "true" : "false");
      content.hidden = !nowOpen;
      content.classList.toggle("opening", nowOpen);
      if (nowOpen && !content.firstChild) {
        appendAll(content, [body()]);
        if (app.live) app.live();
      }
    },
  }, h("span.acc-title", null, title, sub ? h("span.acc-sub", null, sub) : null), icon("chevronDown", "acc-chev"));
  return h("section.acc", { dataset: { acc: key } }, head, content);
}

// A section heading inside a view.
function sectionTitle(text, ...extra) {
  return h("div.section-title", null, h("span", null, text), extra);
}
