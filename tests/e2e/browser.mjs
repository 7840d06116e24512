// Drives Debian's Chromium or Firefox ESR (headless) through puppeteer-core for the bridge tests,
// the demo and the screenshot. Reads one command a line on stdin and answers "ok ..." or
// "error ..." on stdout:
//   open <url>                 opens a page; answers "ok <page number>"
//   click <page> <selector>    clicks an element
//   wait <page> <js expression> waits until the expression is true in the page
//   text <page> <selector>     answers "ok <the element's text>"
//   shot <page> <png path>     writes a picture of the page
//   quit (or end of input)     closes the browser
// Usage: node browser.mjs <chromium|firefox> <user data dir> [host name ...]. The pages' console
// lines go to stderr.
//
// The host names given resolve to 127.0.0.1 inside the browser, so a page can have a named https
// origin (https://labels.example.com:<port>) without any name reaching DNS. Chromium finds no other
// name; Firefox resolves every name to 127.0.0.1 and refuses connections to other addresses. So
// nothing the browser does on its own leaves the machine. Certificates are not checked: the page
// servers use self-signed ones made at test time.
import { createInterface } from "node:readline";
import puppeteer from "puppeteer-core";

const WAIT_MS = 120_000;
const VIEWPORT = { width: 1120, height: 760 };

const CHROMIUM_ARGS = [
  "--disable-gpu",
  "--disable-quic",
  "--no-first-run",
  "--disable-background-networking",
  "--disable-component-update",
  "--disable-sync",
  "--no-proxy-server", // a proxy from the environment would get the mapped names
];

// Every name resolves to 127.0.0.1 and MOZ_DISABLE_NONLOCAL_CONNECTIONS (below) refuses any other
// address, so nothing leaves the machine; these keep Firefox's own background requests (DNS over
// HTTPS, updates, telemetry, captive portal and connectivity checks, safe browsing, remote
// settings, push, studies) from knocking at 127.0.0.1 at all.
const FIREFOX_PREFS = {
  "network.dns.forceResolve": "127.0.0.1",
  "network.trr.mode": 5,
  "network.proxy.type": 0,
  "network.captive-portal-service.enabled": false,
  "network.connectivity-service.enabled": false,
  "network.predictor.enabled": false,
  "app.update.disabledForTesting": true,
  "toolkit.telemetry.server": "",
  "datareporting.policy.dataSubmissionEnabled": false,
  "browser.safebrowsing.malware.enabled": false,
  "browser.safebrowsing.phishing.enabled": false,
  "services.settings.server": "data:,#remote-settings-dummy/v1",
  "dom.push.enabled": false,
  "app.normandy.enabled": false,
};

function hostRules(hosts) {
  return [...hosts.map((host) => `MAP ${host} 127.0.0.1`), "MAP * ~NOTFOUND", "EXCLUDE 127.0.0.1"];
}

function launchOptions(kind, profile, hosts) {
  const common = { headless: true, userDataDir: profile, defaultViewport: VIEWPORT, acceptInsecureCerts: true };
  if (kind === "chromium") {
    const sandbox = process.getuid?.() === 0 ? ["--no-sandbox"] : []; // Chromium refuses root otherwise
    return {
      ...common,
      browser: "chrome",
      executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
      // Its own background requests (accounts, updates, network time) find no address; an
      // address written as such (ws://127.0.0.1:<port>) is no name and stays as it is.
      args: [...sandbox, ...CHROMIUM_ARGS, `--host-resolver-rules=${hostRules(hosts).join(",")}`],
    };
  }
  if (kind === "firefox") {
    return {
      ...common,
      browser: "firefox",
      executablePath: process.env.FIREFOX || "/usr/bin/firefox-esr",
      extraPrefsFirefox: FIREFOX_PREFS,
      // Firefox's own guard: a connection to anything but a local address is refused. It also lets
      // remote settings take the dummy server above (a release build ignores it otherwise).
      env: { ...process.env, MOZ_DISABLE_NONLOCAL_CONNECTIONS: "1" },
    };
  }
  throw new Error(`unknown browser ${kind}: chromium or firefox`);
}

const [kind, profile, ...hosts] = process.argv.slice(2);
const browser = await puppeteer.launch(launchOptions(kind, profile, hosts));
const pages = [];

async function run(command, page, rest) {
  switch (command) {
    case "open": {
      const opened = await browser.newPage();
      const number = pages.push(opened) - 1;
      opened.on("console", (m) => process.stderr.write(`page ${number}: ${m.text()}\n`));
      opened.on("pageerror", (e) => process.stderr.write(`page ${number}: ${e}\n`));
      await opened.goto(page);
      return String(number);
    }
    case "click":
      await pages[+page].locator(rest).setTimeout(WAIT_MS).click();
      return "";
    case "wait":
      // Polled on a timer: animation frames of a page in a background tab may not come.
      await pages[+page].waitForFunction(rest, { timeout: WAIT_MS, polling: 100 });
      return "";
    case "text": {
      const element = await pages[+page].waitForSelector(rest, { timeout: WAIT_MS });
      return (await element.evaluate((e) => e.textContent)).replace(/\s+/g, " ");
    }
    case "shot":
      await pages[+page].screenshot({ path: rest });
      return "";
    default:
      throw new Error(`unknown command ${command}`);
  }
}

for await (const line of createInterface({ input: process.stdin })) {
  const [command, page, ...rest] = line.trim().split(" ");
  if (!command) continue;
  if (command === "quit") break;
  try {
    process.stdout.write(`ok ${await run(command, page, rest.join(" "))}\n`);
  } catch (error) {
    process.stdout.write(`error ${String(error.message).split("\n")[0]}\n`);
  }
}
await browser.close();
