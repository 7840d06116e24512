// Runs one plan of test_bridge_browser.py: jobs of steps on label objects, in order. Each step's
// outcome goes to the page's own server (POST /report) as it happens; the test checks them there.
import { connect, LabelError } from "/bridge/client/label-bridge.js";

const planName = new URLSearchParams(location.search).get("plan");

function toBytes(base64) {
  const binary = atob(base64);
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

function fromBytes(bytes) {
  let binary = "";
  for (const b of bytes) binary += String.fromCharCode(b);
  return btoa(binary);
}

// Arguments: JSON values as they are; {"u8": base64} and {"zeros": n} become Uint8Arrays,
// {"special": "NaN"} and the like the values JSON cannot carry.
const SPECIAL = { NaN, Infinity, undefined };

function argument(value) {
  if (value?.u8 !== undefined) return toBytes(value.u8);
  if (value?.zeros !== undefined) return new Uint8Array(value.zeros);
  if (value?.special !== undefined) return SPECIAL[value.special];
  return value;
}

function outcome(value) {
  return { ok: true, value: value instanceof Uint8Array ? { u8: fromBytes(value) } : value };
}

function failure(error) {
  const { name, number, hresult, description, source, message } = error;
  const isLabelError = error instanceof LabelError;
  return { ok: false, error: { name, number, hresult, description, source, message, isLabelError } };
}

async function report(body) {
  await fetch("/report", { method: "POST", body: JSON.stringify({ plan: planName, ...body }) });
}

async function runStep(step, job) {
  if (step.connect) {
    job.object = await connect(step.connect, { port: step.port ?? plan.bridgePort });
    return job.object.progId;
  }
  if (step.call) return job.object[step.call](...(step.args ?? []).map(argument));
  if (step.get) return job.object.get(step.get);
  if (step.set) return job.object.set(step.set, argument(step.value));
  if (step.release) return job.object.release();
  if (step.poll) {
    // Polls until the answer is one of step.until; the tries bound a printer that never answers.
    for (let i = 0; ; i++) {
      const value = await job.object[step.poll]();
      if (step.until.includes(value) || i >= 2000) return value;
      await new Promise((resolve) => setTimeout(resolve, 10));
    }
  }
  throw new Error(`unknown step ${JSON.stringify(step)}`);
}

const plan = await (await fetch(`/plan/${planName}`)).json();
if (plan.withoutNativeBase64) {
  // As in browsers without Uint8Array base64 methods: the client's own encoding runs.
  delete Uint8Array.prototype.toBase64;
  delete Uint8Array.fromBase64;
}
for (const { name, steps } of plan.jobs) {
  const job = {};
  for (const [index, step] of steps.entries()) {
    await report({ job: name, step: index, started: true });
    let result;
    try {
      result = outcome(await runStep(step, job));
    } catch (error) {
      result = failure(error);
    }
    await report({ job: name, step: index, ...result });
  }
}
await report({ done: true });
