// The monitor's page: every tree of the engine drawn as SVG, nodes filled by status, kept live by
// the "/events" stream; a click on a node shows its ports, counters and last transitions. No
// external assets: it works offline.

#include <string>

#include "monitor.hpp"

namespace kelmora::observe::details {

const std::string& monitor_page() {
  static const std::string kPage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>kelmora monitor</title>
<style>
  body { font-family: Helvetica, Arial, sans-serif; margin: 0; background: #fafafa; color: #222; }
  header { background: #263238; color: #fff; padding: 8px 16px; display: flex; gap: 24px;
           align-items: baseline; }
  header h1 { font-size: 18px; margin: 0; }
  #state { font-size: 13px; color: #b0bec5; }
  main { display: flex; align-items: flex-start; }
  #trees { flex: 1; padding: 8px 16px; display: flex; flex-wrap: wrap; gap: 16px; }
  section.tree { background: #fff; border: 1px solid #cfd8dc; border-radius: 6px; padding: 8px; }
  section.tree h2 { font-size: 15px; margin: 0 0 4px 0; }
  section.tree .meta { font-size: 12px; color: #607d8b; }
  section.tree pre { font-size: 12px; background: #eceff1; padding: 4px; margin: 4px 0 0 0;
                     max-height: 120px; overflow: auto; }
  svg text { font-size: 11px; pointer-events: none; }
  svg rect.node { stroke: #455a64; stroke-width: 1; cursor: pointer; }
  svg rect.node.selected { stroke: #1565c0; stroke-width: 3; }
  svg line { stroke: #90a4ae; }
  aside { width: 340px; padding: 8px 16px; font-size: 13px; position: sticky; top: 0; }
  aside table { border-collapse: collapse; }
  aside td { padding: 1px 6px; border-bottom: 1px solid #eceff1; vertical-align: top; }
  .legend span { display: inline-block; padding: 0 6px; margin-right: 4px; border: 1px solid #455a64;
                 font-size: 11px; color: #222; }
</style>
</head>
<body>
<header><h1>kelmora monitor</h1><span id="state">connecting…</span>
<span class="legend"><span style="background:#ffffff">IDLE</span><span style="background:#ffd54f">RUNNING</span><span style="background:#81c784">SUCCESS</span><span style="background:#e57373">FAILURE</span><span style="background:#bdbdbd">SKIPPED</span></span>
</header>
<main><div id="trees"></div><aside id="details"><p>Click a node to see its ports, counters and last transitions.</p></aside></main>
<script>
"use strict";
const COLORS = { I: "#ffffff", R: "#ffd54f", S: "#81c784", F: "#e57373", K: "#bdbdbd" };
const NAMES = { I: "IDLE", R: "RUNNING", S: "SUCCESS", F: "FAILURE", K: "SKIPPED" };
const SVG = "http://www.w3.org/2000/svg";
const W = 130, H = 34, DX = 140, DY = 60;
const trees = new Map();  // id -> { section, rects, statuses }
let selected = null;      // { id, uid }

function el(tag, attrs, text) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

function clip(text) { return text.length > 20 ? text.slice(0, 19) + "…" : text; }

// Leaves side by side in order; a parent centred over its children.
function layout(nodes) {
  const children = nodes.map(() => []);
  nodes.forEach(n => { if (n.parent !== null) children[n.parent].push(n.uid); });
  const pos = nodes.map(() => ({ x: 0, y: 0 }));
  let next = 0, depth = 0;
  const place = (uid, d) => {
    depth = Math.max(depth, d);
    pos[uid].y = d * DY + 8;
    if (children[uid].length === 0) { pos[uid].x = next++ * DX + 8; return; }
    children[uid].forEach(c => place(c, d + 1));
    const first = pos[children[uid][0]].x, last = pos[children[uid][children[uid].length - 1]].x;
    pos[uid].x = (first + last) / 2;
  };
  if (nodes.length > 0) place(0, 0);
  return { pos, children, width: Math.max(next, 1) * DX + 16, height: (depth + 1) * DY + 16 };
}

async function addTree(id) {
  const response = await fetch("/api/trees/" + encodeURIComponent(id));
  if (!response.ok) return;
  const tree = await response.json();
  if (trees.has(id)) return;
  const section = document.createElement("section");
  section.className = "tree";
  section.dataset.tree = id;
  const title = document.createElement("h2");
  title.textContent = id;
  const meta = document.createElement("div");
  meta.className = "meta";
  meta.textContent = tree.main_tree + " · " + tree.nodes.length + " nodes";
  const { pos, children, width, height } = layout(tree.nodes);
  const svg = el("svg", { width, height, "data-tree": id });
  tree.nodes.forEach(n => children[n.uid].forEach(c => svg.appendChild(el("line", {
    x1: pos[n.uid].x + W / 2, y1: pos[n.uid].y + H, x2: pos[c].x + W / 2, y2: pos[c].y }))));
  const rects = [];
  tree.nodes.forEach(n => {
    const letter = n.status[0] === "S" && n.status === "SKIPPED" ? "K" : n.status[0];
    const rect = el("rect", { class: "node", x: pos[n.uid].x, y: pos[n.uid].y, width: W, height: H,
      rx: n.kind === "Control" ? 8 : 2, fill: COLORS[letter] || "#fff", "data-uid": n.uid,
      "data-status": NAMES[letter] || n.status });
    rect.addEventListener("click", () => select(id, n.uid));
    svg.appendChild(rect);
    rects.push(rect);
    svg.appendChild(el("text", { x: pos[n.uid].x + 4, y: pos[n.uid].y + 14 }, clip(n.id)));
    if (n.name !== n.id) {
      svg.appendChild(el("text", { x: pos[n.uid].x + 4, y: pos[n.uid].y + 28,
        "font-style": "italic" }, clip(n.name)));
    }
  });
  const board = document.createElement("pre");
  board.className = "blackboard";
  board.textContent = tree.blackboard || "(blackboard empty)";
  section.append(title, meta, svg, board);
  document.getElementById("trees").appendChild(section);
  trees.set(id, { section, rects, board });
}

function row(table, key, value) {
  const tr = table.insertRow();
  tr.insertCell().textContent = key;
  tr.insertCell().textContent = value;
}

async function select(id, uid) {
  if (selected) {
    const old = trees.get(selected.id);
    if (old && old.rects[selected.uid]) old.rects[selected.uid].classList.remove("selected");
  }
  selected = { id, uid };
  const t = trees.get(id);
  if (t && t.rects[uid]) t.rects[uid].classList.add("selected");
  const response = await fetch("/api/trees/" + encodeURIComponent(id));
  if (!response.ok) return;
  const tree = await response.json();
  const n = tree.nodes[uid];
  const aside = document.getElementById("details");
  aside.replaceChildren();
  const h = document.createElement("h3");
  h.textContent = id + ": " + n.path;
  const info = document.createElement("table");
  row(info, "node id", n.uid);
  row(info, "registration", n.id);
  row(info, "kind", n.kind);
  row(info, "status", n.status);
  for (const k of ["tick_count", "success_count", "failure_count", "skip_count", "halt_count"]) {
    row(info, k, n[k]);
  }
  row(info, "last change", n.last_change_us ? new Date(n.last_change_us / 1000).toISOString() : "never");
  const ports = document.createElement("table");
  const portNames = Object.keys(n.ports);
  if (portNames.length === 0) row(ports, "(no ports)", "");
  portNames.forEach(p => row(ports, p, n.ports[p] === "" ? "(unbound)" : n.ports[p]));
  const recent = document.createElement("table");
  if (n.recent.length === 0) row(recent, "(none seen)", "");
  n.recent.slice().reverse().forEach(r => row(recent,
    new Date(r.time_us / 1000).toISOString().slice(11, 23), r.previous + " → " + r.status));
  const label = text => { const p = document.createElement("h4"); p.textContent = text; return p; };
  aside.append(h, info, label("Ports"), ports, label("Last transitions"), recent);
}

function apply(event) {
  const present = new Set();
  for (const t of event.trees) {
    present.add(t.id);
    const view = trees.get(t.id);
    if (!view) { addTree(t.id); continue; }
    for (let i = 0; i < t.statuses.length && i < view.rects.length; i++) {
      const letter = t.statuses[i];
      view.rects[i].setAttribute("fill", COLORS[letter]);
      view.rects[i].setAttribute("data-status", NAMES[letter]);
    }
    view.board.textContent = t.blackboard || "(blackboard empty)";
  }
  for (const [id, view] of trees) {
    if (!present.has(id)) { view.section.remove(); trees.delete(id); }
  }
  document.getElementById("state").textContent =
    "live · " + event.trees.length + " trees · " + new Date().toLocaleTimeString();
}

const source = new EventSource("/events");
source.addEventListener("statuses", e => apply(JSON.parse(e.data)));
source.onerror = () => { document.getElementById("state").textContent = "reconnecting…"; };
</script>
</body>
</html>
)html";
  return kPage;
}

}  // namespace kelmora::observe::details
