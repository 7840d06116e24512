// label-bridge.js: the label controls (Tessmer.lumtag, Quennet.lumtag) for pages in any browser,
// through LabelBridge.exe, the loopback WebSocket server on the printing machine.
//
//   import { connect, LabelError } from "./label-bridge.js";
//   const label = await connect("Tessmer.lumtag");
//   await label.ExecPrint("^XA^FDHello^FS^XZ", 0, "9600,N,8,1", 1);
//
// Every member of the control is called by its own name and answers with a promise; a failure
// rejects with a LabelError that carries what a script's Err object would show.

export const DEFAULT_PORT = 9180;

// Failures of the connection to the bridge, numbered the way VBScript numbers an application's
// own errors (vbObjectError + 513, ...), so that they never collide with a control's numbers.
export const NO_BRIDGE = -2147220991; // 0x80040201: nothing answers on the bridge's port
export const BRIDGE_REFUSED = -2147220990; // 0x80040202: the bridge refused this page (its origin is not listed)
export const CONNECTION_LOST = -2147220989; // 0x80040203: the connection closed, or the object was released
export const NOT_A_BRIDGE = -2147220988; // 0x80040204: something other than LabelBridge protocol 1 answers there
export const BRIDGE_BUSY = -2147220987; // 0x80040205: the bridge has all the connections it takes; try again later
export const BROWSER_BLOCKED = -2147220986; // 0x80040206: the browser does not let this page reach programs on this computer

// Every bridge speaks protocol 1; one whose greeting lists protocol 2 also takes label data as
// binary messages beside a request.
const PROTOCOL = 1;
const PROTOCOL_WITH_FRAMES = 2;
const OWN_SOURCE = "label-bridge.js";
// Text and bytes longer than this go beside the request as a binary message (protocol 2): the
// bridge then reads no label data as JSON. Shorter ones stay inside it.
const FRAME_THRESHOLD = 64 * 1024;
// The close code of a bridge that is full (RFC 6455: "try again later"), sent before its greeting.
const CLOSE_TRY_AGAIN_LATER = 1013;
// The first word of every plain HTTP answer of the bridge (a refused handshake, a request that
// is no WebSocket); the reason follows it.
const BRIDGE_ANSWER = "LabelBridge:";
// The browsers' permission for a site to reach programs on this computer's loopback address:
// its name since Chrome 147 (Firefox knows only this one), then the older one.
const PERMISSION_NAMES = ["loopback-network", "local-network-access"];
// A closed port fails a connection within milliseconds; a question to the user takes longer. A
// connection that failed this fast while the permission says "prompt" was not asked about: no
// check applied (a page on this computer, a site its policy lets through), so the probe asks
// nothing either.
const QUESTION_MS = 1000;
// What a user or an administrator does about BROWSER_BLOCKED.
const HOW_TO_ALLOW = "allow it in the site's settings (the icon left of the address: " +
  '"apps and services on this device" or "local network access"), or an administrator lists the ' +
  "site in the browser's policy: LoopbackNetworkAllowedForUrls in Chrome and Edge " +
  "(LocalNetworkAccessAllowedForUrls before version 147), LocalNetworkAccess SkipDomains in Firefox";

export class LabelError extends Error {
  constructor(number, hresult, description, source = OWN_SOURCE) {
    super(description);
    this.name = "LabelError";
    this.number = number;
    this.hresult = hresult;
    this.description = description;
    this.source = source;
  }
}

function ownError(number, description) {
  return new LabelError(number, number >>> 0, description);
}

async function permissionStatus() {
  if (typeof navigator === "undefined" || !navigator.permissions?.query) return null;
  for (const name of PERMISSION_NAMES) {
    try {
      return { name, state: (await navigator.permissions.query({ name })).state };
    } catch {
      // This browser knows no permission of that name.
    }
  }
  return null;
}

/**
 * Whether this page may reach programs on this computer, as the browser's permission says:
 * "granted", "prompt" (the browser asks the user when the page connects; where a policy lets
 * the site through, Firefox says "prompt" too and asks nothing), "denied", or null where the
 * browser has no such permission.
 */
export async function localAccess() {
  return (await permissionStatus())?.state ?? null;
}

// --- values on the wire ---------------------------------------------------------------------

// 0xC000 is a multiple of 3: each chunk's base64 joins the next one's without padding between,
// and String.fromCharCode.apply stays far below the engines' argument limits.
const CHUNK = 0xc000;

function toBase64(bytes) {
  if (typeof bytes.toBase64 === "function") return bytes.toBase64();
  const parts = [];
  for (let i = 0; i < bytes.length; i += CHUNK) {
    parts.push(btoa(String.fromCharCode.apply(null, bytes.subarray(i, i + CHUNK))));
  }
  return parts.join("");
}

function fromBase64(text) {
  if (typeof Uint8Array.fromBase64 === "function") return Uint8Array.fromBase64(text);
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

const textEncoder = new TextEncoder();

// |value| as a request carries it; with |frames| (the bridge speaks protocol 2), long text and
// bytes go there, to follow the request as binary messages in order. A value no control can
// take (undefined, NaN, an infinity) is refused here rather than sent as null.
function encodeValue(value, what, frames) {
  if (value === undefined || (typeof value === "number" && !Number.isFinite(value))) {
    throw new LabelError(13, 0x800a000d, `Type mismatch: ${what} is ${value}, which a label control cannot take`);
  }
  let bytes = null;
  if (value instanceof ArrayBuffer) bytes = new Uint8Array(value);
  else if (ArrayBuffer.isView(value)) bytes = new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  if (bytes !== null) {
    if (frames && bytes.length > FRAME_THRESHOLD) {
      frames.push(bytes);
      return { frame: "bytes" };
    }
    return { bytes: toBase64(bytes) };
  }
  if (frames && typeof value === "string" && value.length > FRAME_THRESHOLD) {
    frames.push(textEncoder.encode(value));
    return { frame: "text" };
  }
  return value;
}

function decodeValue(value) {
  return value !== null && typeof value === "object" && typeof value.bytes === "string"
    ? fromBase64(value.bytes)
    : value;
}

// --- one WebSocket per port, shared by every object of the page -----------------------------

class Connection {
  constructor(port) {
    this.port = port;
    this.url = `ws://127.0.0.1:${port}/`;
    this.nextId = 1;
    this.pending = new Map(); // request id -> { resolve, reject }, in request order
    this.closed = false;
  }

  // Resolves once the bridge's greeting arrived and names protocol 1. Its "protocols" say
  // whether label data may go beside a request; its other fields (the bridge's "version", its
  // "controls") are information only.
  //
  // |onAsk| is called, and awaited, before the socket opens when the browser will ask the user
  // whether this page may reach programs on this computer. The socket then waits for the
  // user's answer: nothing here limits how long.
  async open(onAsk) {
    if (onAsk && (await localAccess()) === "prompt") await onAsk();
    return this.openSocket();
  }

  openSocket() {
    return new Promise((resolve, reject) => {
      let opened = false;
      const started = Date.now();
      let greeted = false;
      let socket;
      try {
        socket = new WebSocket(this.url);
      } catch (error) {
        reject(ownError(NO_BRIDGE, `no label bridge can be reached at ${this.url}: ${error.message}`));
        return;
      }
      this.socket = socket;
      socket.onopen = () => {
        opened = true;
      };
      socket.onmessage = (event) => {
        if (greeted) return this.receive(event.data);
        const hello = parseJson(event.data);
        if (hello?.bridge !== "LabelBridge" || hello.protocol !== PROTOCOL) {
          socket.close();
          reject(ownError(NOT_A_BRIDGE, `${this.url} is not a label bridge of protocol ${PROTOCOL}`));
          return;
        }
        greeted = true;
        this.withFrames = Array.isArray(hello.protocols) && hello.protocols.includes(PROTOCOL_WITH_FRAMES);
        resolve(this);
      };
      socket.onclose = (event) => {
        this.closed = true;
        if (connections.get(this.port) === this.opened) connections.delete(this.port);
        if (greeted) {
          this.fail(ownError(CONNECTION_LOST, `the connection to the label bridge at ${this.url} closed`));
        } else if (event.code === CLOSE_TRY_AGAIN_LATER) {
          reject(ownError(BRIDGE_BUSY, `the label bridge at ${this.url} is full and takes no more connections ` +
            `now; try again later (the bridge says: ${event.reason || "try again later"})`));
        } else if (opened) {
          reject(ownError(CONNECTION_LOST, `the connection to the label bridge at ${this.url} closed before ` +
            `its greeting (close code ${event.code})`));
        } else {
          // A browser tells a page nothing about a failed handshake: the bridge's 403 looks just
          // like a port nobody listens on. What answers plain HTTP there tells them apart.
          this.whyNotOpened(Date.now() - started).then(reject);
        }
      };
    });
  }

  // |tookMs|: how long the failed attempt took. Where the browser may have blocked it, the
  // probe below is not sent: it would only ask the user a second time.
  async whyNotOpened(tookMs) {
    const permission = await permissionStatus();
    if (permission?.state === "denied" || (permission?.state === "prompt" && tookMs >= QUESTION_MS)) {
      const answer = permission.state === "denied" ? "denied" : "not answered with allow";
      return ownError(BROWSER_BLOCKED, `the browser does not let this page (${location.origin}) reach programs ` +
        `on this computer, so not the label bridge at ${this.url} either (its permission "${permission.name}": ` +
        `${answer}); ${HOW_TO_ALLOW}`);
    }
    const probe = `http://127.0.0.1:${this.port}/`;
    let answer;
    try {
      // The bridge lets any page read its answers; a server that does not fails this fetch.
      answer = await (await fetch(probe, { cache: "no-store" })).text();
    } catch {
      try {
        await fetch(probe, { mode: "no-cors", cache: "no-store" });
      } catch {
        // A browser without the permission may still block the page, and says nothing of it.
        const orBlocked = permission ? "" : `; or the browser does not let this page reach programs on this ` +
          `computer: ${HOW_TO_ALLOW}`;
        return ownError(NO_BRIDGE, `no label bridge at ${this.url}: is LabelBridge.exe running on this ` +
          `computer?${orBlocked}`);
      }
      return ownError(NOT_A_BRIDGE, `something other than the label bridge answers at ${probe}`);
    }
    if (!answer.startsWith(BRIDGE_ANSWER)) {
      return ownError(NOT_A_BRIDGE, `something other than the label bridge answers at ${probe}`);
    }
    const reason = answer.slice(BRIDGE_ANSWER.length).split("\n")[0].trim().slice(0, 300);
    return ownError(BRIDGE_REFUSED, `the label bridge at ${this.url} refused the connection of this page ` +
      `(${location.origin}): "${reason}"`);
  }

  // Sends |message|, then |frames| (the label data its values name) as binary messages.
  request(message, frames = []) {
    if (this.closed) {
      return Promise.reject(ownError(CONNECTION_LOST, `the connection to the label bridge at ${this.url} is closed`));
    }
    return new Promise((resolve, reject) => {
      const id = this.nextId++;
      let text;
      try {
        text = JSON.stringify({ id, ...message });
      } catch (error) {
        reject(new LabelError(5, 0x80070057, `a value cannot be sent to the label bridge: ${error.message}`));
        return;
      }
      this.pending.set(id, { resolve, reject });
      this.socket.send(text);
      for (const frame of frames) this.socket.send(frame);
    });
  }

  receive(text) {
    const reply = parseJson(text);
    // Replies come in request order: one without a usable id answers the oldest request.
    const id = this.pending.has(reply?.id) ? reply.id : this.pending.keys().next().value;
    const waiter = this.pending.get(id);
    if (!waiter) return;
    this.pending.delete(id);
    if (reply?.error) {
      const { number, hresult, description, source } = reply.error;
      waiter.reject(new LabelError(number, hresult, description, source));
    } else if (reply !== null && typeof reply === "object") {
      waiter.resolve(reply);
    } else {
      const start = String(text).slice(0, 200);
      waiter.reject(ownError(NOT_A_BRIDGE, `the label bridge sent a reply this page cannot read: ${start}`));
    }
  }

  fail(error) {
    for (const waiter of this.pending.values()) waiter.reject(error);
    this.pending.clear();
  }
}

function parseJson(text) {
  try {
    return JSON.parse(text);
  } catch {
    return undefined;
  }
}

const connections = new Map(); // port -> Promise<Connection>

function connectionFor(port, onAsk) {
  if (!connections.has(port)) {
    const connection = new Connection(port);
    connection.opened = connection.open(onAsk);
    connections.set(port, connection.opened);
    // A connection that never opened is not kept: the next connect tries again.
    connection.opened.catch(() => {
      if (connections.get(port) === connection.opened) connections.delete(port);
    });
  }
  return connections.get(port);
}

// --- the object a page holds ----------------------------------------------------------------

class LabelObject {
  constructor(connection, objectId, progId) {
    this.connection = connection;
    this.objectId = objectId;
    this.progId = progId;
    this.released = false;
  }

  // |encode| gives the request's fields, its values encoded by encodeValue(value, what, frames).
  async invoke(op, member, encode = () => ({})) {
    if (this.released) throw ownError(CONNECTION_LOST, `the ${this.progId} object was released`);
    const frames = this.connection.withFrames ? [] : null;
    const fields = encode((value, what) => encodeValue(value, `${what} of '${member}'`, frames));
    const reply = await this.connection.request({ op, object: this.objectId, member, ...fields }, frames ?? []);
    return decodeValue(reply.result);
  }

  call(member, args) {
    return this.invoke("call", member, (encode) => ({ args: args.map((arg, i) => encode(arg, `argument ${i + 1}`)) }));
  }

  get(member) {
    return this.invoke("get", member);
  }

  async set(member, value) {
    await this.invoke("set", member, (encode) => ({ value: encode(value, "the value") }));
  }

  // Releases the control now; closing the page releases every object too.
  async release() {
    if (this.released) return;
    this.released = true;
    // A closed connection has released its objects already.
    if (!this.connection.closed) await this.connection.request({ op: "release", object: this.objectId });
  }
}

// Names the proxy keeps for itself. "then" must stay undefined: an awaited value is probed for it.
// toString and valueOf are asked for by the page's own code (a template string, a comparison),
// never meant for the control: they are answered here.
const OWN_NAMES = new Set(["get", "set", "release", "progId"]);
const NOT_MEMBERS = new Set(["then", "toJSON", "constructor"]);

function memberProxy(object) {
  const proxy = new Proxy(object, {
    get(target, name) {
      if (typeof name === "symbol" || NOT_MEMBERS.has(name)) return undefined;
      if (name === "toString") return () => `[LabelObject ${target.progId}]`;
      if (name === "valueOf") return () => proxy;
      if (OWN_NAMES.has(name)) {
        const value = target[name];
        return typeof value === "function" ? value.bind(target) : value;
      }
      return (...args) => target.call(name, args);
    },
    set() {
      throw new TypeError('label controls take property values through set("Name", value)');
    },
  });
  return proxy;
}

/**
 * Creates a label control (Tessmer.lumtag or Quennet.lumtag) in the label bridge on this computer.
 * Objects of one page share one connection per port. |onAsk| (optional) is called and awaited
 * before the browser asks the user whether this page may reach programs on this computer.
 */
export async function connect(progId, { port = DEFAULT_PORT, onAsk } = {}) {
  const connection = await connectionFor(port, onAsk);
  const reply = await connection.request({ op: "create", progId });
  return memberProxy(new LabelObject(connection, reply.object, progId));
}
