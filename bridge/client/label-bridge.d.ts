// Types of label-bridge.js: the label controls Tessmer.lumtag and Quennet.lumtag for pages in any
// browser, through LabelBridge.exe on the loopback address of the printing machine.

/** The port LabelBridge.exe listens on unless its policy or command line says otherwise. */
export declare const DEFAULT_PORT: 9180;

/**
 * Numbers of the failures of the bridge connection itself. They are VBScript numbers of an
 * application's own errors (vbObjectError + 513 ...); `hresult` holds the same code unsigned
 * (0x80040201 ...). A control's own failures carry the control's numbers (README: Errors).
 */
/** Nothing answers on the bridge's port: LabelBridge.exe is not running (or listens on another
 *  port). In a browser without the loopback permission (see localAccess) the browser may have
 *  blocked the page instead; the description then names that cause too. 0x80040201. */
export declare const NO_BRIDGE: -2147220991;
/** The bridge refused the page, most often because its origin is not on the allowed list
 *  (HKLM\SOFTWARE\Policies\Lumtag\AllowedSites). The description quotes the bridge's reason.
 *  0x80040202. */
export declare const BRIDGE_REFUSED: -2147220990;
/** The connection closed while the call was under way or before it was made, or the object was
 *  released. The next connect() opens a new connection. 0x80040203. */
export declare const CONNECTION_LOST: -2147220989;
/** Something other than LabelBridge answers on the port (another program holds it), or the
 *  server there does not speak protocol 1, or it sent a reply that cannot be read. 0x80040204. */
export declare const NOT_A_BRIDGE: -2147220988;
/** The bridge has as many connections as it takes (other pages or tabs hold them): try again
 *  later. The description quotes the bridge's reason. 0x80040205. */
export declare const BRIDGE_BUSY: -2147220987;
/** The browser does not let this page reach programs on this computer: its permission
 *  "loopback-network" ("local-network-access" in older Chrome) is denied, or the user did not
 *  answer its question with allow. The user allows it in the site's settings; an administrator
 *  lists the site in LoopbackNetworkAllowedForUrls (Chrome, Edge; LocalNetworkAccessAllowedForUrls
 *  before 147) or LocalNetworkAccess SkipDomains (Firefox). The description says so. 0x80040206. */
export declare const BROWSER_BLOCKED: -2147220986;

/** A failure, with what a script's Err object would show for it. */
export declare class LabelError extends Error {
  readonly name: "LabelError";
  /** Err.Number: e.g. 8002 for a port that cannot be opened, 438 for an unknown member, or one of
   *  NO_BRIDGE, BRIDGE_REFUSED, CONNECTION_LOST, NOT_A_BRIDGE, BRIDGE_BUSY, BROWSER_BLOCKED. */
  readonly number: number;
  /** The full code as an unsigned 32-bit number, e.g. 0x800A1F42 for 8002. */
  readonly hresult: number;
  /** Err.Description: names the argument, port or host concerned. Never empty. */
  readonly description: string;
  /** Err.Source: the control's, the bridge's, or "label-bridge.js" for the numbers above. */
  readonly source: string;
  constructor(number: number, hresult: number, description: string, source?: string);
}

/**
 * A value a member takes or gives: text, finite numbers, true/false and null as they are; a byte
 * array as a Uint8Array (an ArrayBuffer or any typed array view is sent as its bytes). Text goes
 * to the printer in the machine's ANSI code page; bytes go out untouched. Text and bytes past
 * 64 KiB travel beside the request as binary messages. undefined, NaN and the infinities are
 * refused with 13 (type mismatch) before anything is sent.
 */
export type LabelValue = string | number | boolean | null | Uint8Array;
export type LabelArgument = LabelValue | ArrayBuffer | ArrayBufferView;

/** The methods every label object has besides the control's own members. */
export interface LabelObjectBase {
  /** The ProgID the object was created with. */
  readonly progId: string;
  /** Reads a property (e.g. "MemId"). */
  get(property: string): Promise<LabelValue>;
  /** Writes a property (e.g. set("MemId", "line 3")). */
  set(property: string, value: LabelArgument): Promise<void>;
  /** Releases the control now (closing the page releases it too). Later calls reject. */
  release(): Promise<void>;
}

/** Members of Tessmer.lumtag (Ostrel.ocx). */
export interface TessmerLumtag extends LabelObjectBase {
  /** Opens COM`port` with `setting` ("9600,N,8,1"), writes `stream`, waits `waitMs`, closes the port. */
  ExecPrint(stream: string | Uint8Array | ArrayBuffer, waitMs: number, setting: string, port: number): Promise<null>;
  /** Starts connecting to a network printer; poll SocSts() until "7". */
  SocConnect(host: string, port: number): Promise<null>;
  /** "0" closed, "4" resolving, "6" connecting, "7" connected, "8" the printer closed, "9" error. */
  SocSts(): Promise<string>;
  /** Sends text or bytes over the connection, nothing added. */
  SendData(data: string | Uint8Array | ArrayBuffer): Promise<null>;
  /** Reads hexadecimal text as a 32-bit number ("FF" -> 255). */
  dectohex(hex: string): Promise<number>;
}

/** Members of Quennet.lumtag (Quennet.ocx). */
export interface QuennetLumtag extends LabelObjectBase {
  /** mode "LPT": writes `stream` to LPT1; otherwise opens COM`port` with `setting` and writes it. */
  ExecPrint(stream: string | Uint8Array | ArrayBuffer, setting: string, port: number, mode: string): Promise<null>;
}

/** Any other member is called by its name as well and answers with a promise of its result. */
export type LabelObject = LabelObjectBase & { [member: string]: any };

export interface ConnectOptions {
  /** The bridge's port (default 9180). */
  port?: number;
  /** Called, and awaited, before the connection opens when the browser will ask the user whether
   *  this page may reach programs on this computer (localAccess() is "prompt"): the page may
   *  explain the question first. connect() then waits for the user's answer, however long. */
  onAsk?: () => void | Promise<void>;
}

/**
 * Whether this page may reach programs on this computer (the bridge among them), as the
 * browser's permission says: "granted"; "prompt", the browser asks when the page connects
 * (Firefox says "prompt" also for a site its policy lets through, and asks nothing); "denied";
 * or null where the browser has no such permission. Asks the user nothing.
 */
export declare function localAccess(): Promise<"granted" | "prompt" | "denied" | null>;

/**
 * Creates a label control in the bridge. Rejects with a LabelError: NO_BRIDGE, BRIDGE_REFUSED,
 * NOT_A_BRIDGE, BRIDGE_BUSY, BROWSER_BLOCKED, CONNECTION_LOST, or 70 (permission denied) for a ProgID other than
 * the two label controls.
 * Objects of one page share one connection per port; calls go out in order.
 */
export declare function connect(progId: "Tessmer.lumtag", options?: ConnectOptions): Promise<TessmerLumtag>;
export declare function connect(progId: "Quennet.lumtag", options?: ConnectOptions): Promise<QuennetLumtag>;
export declare function connect(progId: string, options?: ConnectOptions): Promise<LabelObject>;
