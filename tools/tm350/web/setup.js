// Draws the property frames as the window manager holds them and gives the
// user's mouse back to it at screen coordinates. Nothing here knows what a
// control does: every change comes back from the server as new state.
"use strict";

const WS_CAPTION = 0x00c00000;
const WS_CHILD = 0x40000000;
const BS_TYPEMASK = 0x0f;
const BS_DEFPUSHBUTTON = 0x01;
const BS_CHECKBOX = 0x02;
const BS_AUTOCHECKBOX = 0x03;
const BS_RADIOBUTTON = 0x04;
const BS_3STATE = 0x05;
const BS_AUTO3STATE = 0x06;
const BS_GROUPBOX = 0x07;
const BS_AUTORADIOBUTTON = 0x09;
const SS_TYPEMASK = 0x1f;
const SS_CENTER = 0x01;
const SS_RIGHT = 0x02;
const BST_CHECKED = 1;

const desktop = document.getElementById("desktop");
const statusLine = document.getElementById("status");
let origin = { x: 0, y: 0 };
let generation = 0;

// "&Default" shows as "Default"; "&&" is a literal ampersand.
function withoutMnemonics(text) {
  return text.replace(/&(&?)/g, "$1");
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function place(node, rect) {
  node.style.left = `${rect.left - origin.x}px`;
  node.style.top = `${rect.top - origin.y}px`;
  node.style.width = `${rect.right - rect.left}px`;
  node.style.height = `${rect.bottom - rect.top}px`;
}

function buttonKind(style) {
  switch (style & BS_TYPEMASK) {
    case BS_GROUPBOX: return "group";
    case BS_CHECKBOX: case BS_AUTOCHECKBOX: case BS_3STATE: case BS_AUTO3STATE: return "check";
    case BS_RADIOBUTTON: case BS_AUTORADIOBUTTON: return "radio";
    default: return "push";
  }
}

function drawButton(node, view) {
  const kind = buttonKind(view.style);
  const text = withoutMnemonics(view.text);
  node.classList.add(kind);
  if (kind === "group") {
    node.append(element("div", "frame"));
    if (text) node.append(element("span", "label", text));
  } else if (kind === "check" || kind === "radio") {
    if (view.check === BST_CHECKED) node.classList.add("checked");
    node.append(element("span", "box"), element("span", "text", text));
  } else {
    if ((view.style & BS_TYPEMASK) === BS_DEFPUSHBUTTON) node.classList.add("default");
    node.append(element("span", "text", text));
  }
}

function drawTrackbar(node, view) {
  node.append(element("div", "channel"));
  const thumb = element("div", "thumb");
  // The thumb's rectangle is the window manager's, so a drag that starts on
  // it here starts on it there.
  thumb.style.left = `${view.thumb.left - view.rect.left}px`;
  thumb.style.top = `${view.thumb.top - view.rect.top}px`;
  thumb.style.width = `${view.thumb.right - view.thumb.left}px`;
  thumb.style.height = `${view.thumb.bottom - view.thumb.top}px`;
  node.append(thumb);
  node.dataset.position = view.position;
  node.dataset.range = view.range.join(",");
}

function drawTabs(node, view) {
  const row = element("div", "tabs");
  view.tabs.forEach((tab, index) => {
    const item = element("span", "tab", withoutMnemonics(tab));
    if (index === view.selected_tab) item.classList.add("selected");
    row.append(item);
  });
  node.append(row, element("div", "tab-body"));
}

function drawWindow(view, topLevel) {
  if (!view.visible) return;
  const node = element("div", "window");
  node.dataset.class = view.class;
  node.dataset.id = view.id;
  node.dataset.handle = view.handle;
  if (!view.enabled) node.classList.add("disabled");
  place(node, view.rect);
  switch (view.class.toLowerCase()) {
    case "#32770":
      node.classList.add("dialog");
      if (topLevel) node.classList.add("top");
      if (topLevel && (view.style & WS_CAPTION) === WS_CAPTION) node.append(element("div", "caption", view.text));
      break;
    case "button":
      drawButton(node, view);
      break;
    case "static": {
      node.classList.add("static");
      const align = view.style & SS_TYPEMASK;
      if (align === SS_CENTER) node.classList.add("center");
      if (align === SS_RIGHT) node.classList.add("right");
      node.textContent = withoutMnemonics(view.text);
      break;
    }
    case "msctls_trackbar32":
      node.classList.add("trackbar");
      drawTrackbar(node, view);
      break;
    case "systabcontrol32":
      node.classList.add("tabcontrol");
      drawTabs(node, view);
      break;
    default:
      node.classList.add("other");
      if (view.text) node.textContent = view.text;
  }
  desktop.append(node);
  for (const child of view.children) drawWindow(child, false);
}

function drawFigures(capture) {
  if (!capture) return;
  document.getElementById("camera").textContent = capture.camera;
  document.getElementById("samples").textContent = capture.samples;
  document.getElementById("rate").textContent = Number(capture.rate).toFixed(2);
  document.getElementById("lost").textContent = capture.frames_lost;
}

function draw(state) {
  if (state.generation < generation) return;  // an older answer overtaken by a newer one
  generation = state.generation;
  // The desktop shows the visible top-level windows, from their top-left corner.
  const shown = state.windows.filter((w) => w.visible);
  const left = Math.min(...shown.map((w) => w.rect.left));
  const top = Math.min(...shown.map((w) => w.rect.top));
  const right = Math.max(...shown.map((w) => w.rect.right));
  const bottom = Math.max(...shown.map((w) => w.rect.bottom));
  origin = shown.length ? { x: left, y: top } : { x: 0, y: 0 };
  desktop.replaceChildren();
  desktop.style.width = shown.length ? `${right - left}px` : "0";
  desktop.style.height = shown.length ? `${bottom - top}px` : "0";
  // Topmost first in the list, so it is drawn last, on top.
  for (const window of [...shown].reverse()) drawWindow(window, true);
  drawFigures(state.capture);
  document.body.dataset.generation = generation;
  if (!shown.length) statusLine.textContent = "No property frame is open.";
}

async function fetchState(after) {
  const response = await fetch(after === undefined ? "state" : `state?after=${after}`, { cache: "no-store" });
  if (!response.ok) throw new Error(`state: HTTP ${response.status}`);
  return response.json();
}

// Redraws whenever the desktop changes, for as long as the tool runs.
async function follow() {
  for (;;) {
    try {
      draw(await fetchState(generation));
      statusLine.textContent = "";
    } catch (error) {
      statusLine.textContent = "tm350 setup is not answering.";
      await new Promise((resolve) => setTimeout(resolve, 1000));
    }
  }
}

// Input goes out one at a time, in order; moves that pile up while one is
// on its way are merged into the latest, as a slow screen would show them.
const queue = [];
let sending = false;

function send(action, x, y) {
  const last = queue[queue.length - 1];
  if (action === "move" && last && last.action === "move") {
    last.x = x;
    last.y = y;
  } else {
    queue.push({ action, x, y });
  }
  if (!sending) drain();
}

async function drain() {
  sending = true;
  while (queue.length) {
    const input = queue.shift();
    try {
      const response = await fetch("input", {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify(input),
      });
      const answer = await response.json();
      if (response.ok) draw(answer);
      else statusLine.textContent = answer.error;
    } catch (error) {
      statusLine.textContent = "tm350 setup is not answering.";
    }
  }
  sending = false;
  document.body.dataset.inputIdle = "true";
}

function screenPoint(event) {
  const box = desktop.getBoundingClientRect();
  return [Math.round(event.clientX - box.left + origin.x), Math.round(event.clientY - box.top + origin.y)];
}

let buttonDown = false;
desktop.addEventListener("mousedown", (event) => {
  if (event.button !== 0) return;
  event.preventDefault();
  buttonDown = true;
  document.body.dataset.inputIdle = "false";
  send("down", ...screenPoint(event));
});
// Moves and the release are followed outside the desktop too, as a window
// that captured the mouse follows it.
window.addEventListener("mousemove", (event) => {
  if (buttonDown) send("move", ...screenPoint(event));
});
window.addEventListener("mouseup", (event) => {
  if (event.button !== 0 || !buttonDown) return;
  buttonDown = false;
  send("up", ...screenPoint(event));
});

fetchState().then(draw).catch(() => {}).finally(follow);
