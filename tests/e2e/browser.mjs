// Drives Debian's Chromium (headless) through playwright-core for the bridge tests, the demo and
// the screenshot. Reads one command a line on stdin and answers "ok ..." or "error ..." on stdout:
//   open <url>                 opens a page; answers "ok <page number>"
//   click <page> <selector>    clicks an element
//   wait <page> <js expression> waits until the expression is true in the page
//   text <page> <selector>     answers "ok <the element's text>"
//   shot <page> <png path>     writes a picture of the page
//   quit (or end of input)     closes the browser
// Usage: node browser.mjs <user data dir>. The pages' console lines go to stderr.
import { createInterface } from "node:readline";
import { chromium } from "playwright-core";

const WAIT_MS = 120_000;

const context = await chromium.launchPersistentContext(process.argv[2], {
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  headless: true,
  viewport: { width: 1120, height: 760 },
  args: [
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
  ],
});
const pages = [];

async function run(command, page, rest) {
  switch (command) {
    case "open": {
      const opened = await context.newPage();
      const number = pages.push(opened) - 1;
      opened.on("console", (m) => process.stderr.write(`page ${number}: ${m.text()}\n`));
      opened.on("pageerror", (e) => process.stderr.write(`page ${number}: ${e}\n`));
      await opened.goto(page);
      return String(number);
    }
    case "click":
      await pages[+page].click(rest, { timeout: WAIT_MS });
      return "";
    case "wait":
      await pages[+page].waitForFunction(rest, null, { timeout: WAIT_MS });
      return "";
    case "text":
      return (await pages[+page].textContent(rest, { timeout: WAIT_MS })).replace(/\s+/g, " ");
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
await context.close();
