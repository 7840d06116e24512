// The demo page: prints the label through label-bridge.js and draws its preview with
// zpl-renderer-js. The query string may preset the form: ?bridge=9180&control=Quennet.lumtag
// &target=lpt|serial|network&com=5&setting=...&host=...&hostPort=...
import { BROWSER_BLOCKED, connect, localAccess } from "../client/label-bridge.js";

const SAMPLE = `^XA
^CF0,44^FO40,40^FDLumtag Logistics^FS
^CF0,28^FO40,100^FDShip to: Harbour Road 12, Kiel^FS
^FO40,140^FDOrder 4711 - 3 parcels^FS
^FO40,190^BY3^BCN,110,Y,N,N^FD00012345678905^FS
^FO40,360^GB720,3,3^FS
^CF0,24^FO40,380^FDFragile - keep dry^FS
^XZ`;

const $ = (id) => document.getElementById(id);
const query = new URLSearchParams(location.search);
const bridgePort = Number(query.get("bridge") || 9180);

function setStatus(state, text) {
  $("status").dataset.state = state;
  $("status").textContent = text;
}

// What the browser's permission to reach programs on this computer says, and what to do about it.
const ACCESS = {
  granted: "This browser lets the page reach the label bridge.",
  prompt: "On the first print the browser asks whether this page may reach apps and services on this device: choose Allow.",
  denied: "This browser does not let the page reach the label bridge: allow it in the site's settings " +
    "(the icon left of the address), or ask your administrator to list this site in the browser's policy.",
};

async function showAccess() {
  const state = await localAccess();
  $("access").dataset.state = state ?? "unknown";
  $("access").textContent = ACCESS[state] ?? "";
}

// Shows only the port choices the chosen control has.
function showTargets() {
  const control = $("control").value;
  for (const option of $("target").options) {
    option.hidden = option.dataset.control !== undefined && option.dataset.control !== control;
  }
  if ($("target").selectedOptions[0].hidden) $("target").value = "serial";
  for (const row of document.querySelectorAll("[data-target]")) row.hidden = row.dataset.target !== $("target").value;
}

async function waitConnected(label) {
  // SocSts: "7" connected, "8" the printer closed, "9" error; give up after ten seconds.
  const started = Date.now();
  for (;;) {
    const state = await label.SocSts();
    if (state === "7") return;
    if (state === "8" || state === "9" || Date.now() - started > 10000) {
      throw new Error(`no connection to ${$("host").value}:${$("hostPort").value} (state ${state})`);
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

async function print(event) {
  event.preventDefault();
  const control = $("control").value;
  const target = $("target").value;
  const text = $("label").value;
  $("print").disabled = true;
  setStatus("busy", "Printing…");
  let label;
  try {
    label = await connect(control, {
      port: bridgePort,
      onAsk: () => setStatus("busy", "Your browser asks whether this page may reach apps and services on this " +
        "device: choose Allow to print."),
    });
    let where;
    if (target === "network") {
      await label.SocConnect($("host").value, Number($("hostPort").value));
      await waitConnected(label);
      await label.SendData(text);
      where = `${$("host").value}:${$("hostPort").value}`;
    } else if (target === "lpt") {
      await label.ExecPrint(text, "", 0, "LPT");
      where = "LPT1";
    } else {
      const com = Number($("com").value);
      if (control === "Quennet.lumtag") await label.ExecPrint(text, $("setting").value, com, "COM");
      else await label.ExecPrint(text, 0, $("setting").value, com);
      where = `COM${com} (${$("setting").value})`;
    }
    setStatus("printed", `Printed ${text.length} characters to ${where} with ${control}.`);
  } catch (error) {
    const number = error.number !== undefined ? ` (error ${error.number})` : "";
    setStatus("failed", `Not printed${number}: ${error.description || error.message}`);
    if (error.number === BROWSER_BLOCKED) showAccess();
  } finally {
    // Releasing the control closes a network printer's connection after the label went out.
    await label?.release().catch(() => {});
    $("print").disabled = false;
    showAccess();
  }
}

let renderer;
let previewTimer;

async function drawPreview() {
  const preview = $("preview");
  try {
    renderer ??= import("zpl-renderer-js").then((module) => module.ready);
    const { api } = await renderer;
    // 4 x 2.5 inch label at 8 dots per mm (203 dpi).
    const png = await api.zplToBase64Async($("label").value, 101.6, 63.5, 8);
    preview.src = `data:image/png;base64,${png}`;
    preview.dataset.drawn = "true";
    $("previewNote").textContent = "Preview drawn in this page (4 × 2.5 in, 203 dpi)";
  } catch (error) {
    preview.removeAttribute("src");
    preview.dataset.drawn = "false";
    $("previewNote").textContent = `No preview: ${error.message || error}`;
  }
}

function schedulePreview() {
  clearTimeout(previewTimer);
  previewTimer = setTimeout(drawPreview, 300);
}

for (const id of ["control", "target", "com", "setting", "host", "hostPort"]) {
  if (query.has(id)) $(id).value = query.get(id);
}
$("label").value = SAMPLE;
showTargets();
$("control").addEventListener("change", showTargets);
$("target").addEventListener("change", showTargets);
$("label").addEventListener("input", schedulePreview);
$("job").addEventListener("submit", print);
drawPreview();
showAccess();
