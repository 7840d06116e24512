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
export const NO_BRIDGE = -2147220991; // 0x80040201: nothing listens on the bridge's port
export const BRIDGE_REFUSED = -2147220990; // 0x80040202: the bridge refused this page's connection
export const CONNECTION_LOST = -2147220989; // 0x80040203: the connection closed, or the object was released
export const NOT_A_BRIDGE = -2147220988; // 0x80040204: the server did not greet as LabelBridge protocol 1

const PROTOCOL = 1;
const OWN_SOURCE = "label-bridge.js";

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

function encodeValue(value) {
  if (value instanceof ArrayBuffer) return { bytes: toBase64(new Uint8Array(value)) };
  if (ArrayBuffer.isView(value)) {
    return { bytes: toBase64(new Uint8Array(value.buffer, value.byteOffset, value.byteLength)) };
  }
  return value === undefined ? null : value;
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

  // Resolves once the bridge's greeting arrived and names protocol 1.
  open() {
    return new Promise((resolve, reject) => {
      let greeted = false;
      const socket = new WebSocket(this.url);
      this.socket = socket;
      socket.onmessage = (event) => {
        if (greeted) return this.receive(event.data);
        const hello = parseJson(event.data);
        if (hello?.bridge !== "LabelBridge" || hello.protocol !== PROTOCOL) {
          socket.close();
          reject(ownError(NOT_A_BRIDGE, `${this.url} is not a label bridge of protocol ${PROTOCOL}`));
          return;
        }
        greeted = true;
        resolve(this);
      };
      socket.onclose = () => {
        this.closed = true;
        if (connections.get(this.port) === this.opened) connections.delete(this.port);
        if (greeted) {
          this.fail(ownError(CONNECTION_LOST, `the connection to the label bridge at ${this.url} closed`));
          return;
        }
        // A browser reports a refused handshake (403) just like a port nobody listens on.
        // Whether anything answers plain HTTP there tells the two apart.
        this.whyNotOpened().then(reject);
      };
    });
  }

  async whyNotOpened() {
    try {
      await fetch(`http://127.0.0.1:${this.port}/`, { mode: "no-cors", cache: "no-store" });
    } catch {
      return ownError(NO_BRIDGE, `no label bridge at ${this.url}: is LabelBridge.exe running on this computer?`);
    }
    return ownError(BRIDGE_REFUSED, `the label bridge at ${this.url} refused the connection: this page's ` +
      `origin (${location.origin}) is not on its allowed list, or it is not the label bridge that runs there`);
  }

  request(message) {
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

function connectionFor(port) {
  if (!connections.has(port)) {
    const connection = new Connection(port);
    connection.opened = connection.open();
    connections.set(port, connection.opened);
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

  async invoke(op, fields) {
    if (this.released) throw ownError(CONNECTION_LOST, `the ${this.progId} object was released`);
    const reply = await this.connection.request({ op, object: this.objectId, ...fields });
    return decodeValue(reply.result);
  }

  call(member, args) {
    return this.invoke("call", { member, args: args.map(encodeValue) });
  }

  get(member) {
    return this.invoke("get", { member });
  }

  async set(member, value) {
    await this.invoke("set", { member, value: encodeValue(value) });
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
const OWN_NAMES = new Set(["get", "set", "release", "progId"]);
const NOT_MEMBERS = new Set(["then", "toJSON", "constructor"]);

function memberProxy(object) {
  return new Proxy(object, {
    get(target, name) {
      if (typeof name === "symbol" || NOT_MEMBERS.has(name)) return undefined;
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
}

/**
 * Creates a label control (Tessmer.lumtag or Quennet.lumtag) in the label bridge on this computer.
 * Objects of one page share one connection per port.
 */
export async function connect(progId, { port = DEFAULT_PORT } = {}) {
  const connection = await connectionFor(port);
  const reply = await connection.request({ op: "create", progId });
  return memberProxy(new LabelObject(connection, reply.object, progId));
}
