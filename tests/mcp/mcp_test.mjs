// End-to-end tests of kestreye-mcp driven by the official MCP TypeScript SDK
// client, and by raw lines where the SDK cannot produce the fault:
//
//   node mcp_test.mjs fixture --server kestreye-mcp-replay --replay kestreye-replay
//   scripts/session node mcp_test.mjs live --server kestreye-mcp --kestreye kestreye --demo kestreye-demo
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { once } from "node:events";
import { fileURLToPath } from "node:url";
import { parseArgs } from "node:util";
import readline from "node:readline";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { ErrorCode, McpError } from "@modelcontextprotocol/sdk/types.js";

const WAIT_MS = 15000; // bounds a broken run only
const MAX_LINE = 1 << 20;
const here = (name) => fileURLToPath(new URL(name, import.meta.url));
const { positionals: [mode], values: opt } = parseArgs({
  allowPositionals: true,
  options: { server: { type: "string" }, replay: { type: "string" },
             kestreye: { type: "string" }, demo: { type: "string" } },
});

// Lines of a child's standard output, awaited one at a time.
function lines(stream) {
  const queue = [], waiting = [];
  readline.createInterface({ input: stream }).on("line", (line) => {
    waiting.length ? waiting.shift()(line) : queue.push(line);
  }).on("close", () => waiting.splice(0).forEach((resolve) => resolve(null)));
  return {
    queue,
    next: () => queue.length ? Promise.resolve(queue.shift())
      : Promise.race([new Promise((resolve) => waiting.push(resolve)),
                      new Promise((_, reject) => setTimeout(
                        () => reject(new Error("no line in time")), WAIT_MS).unref())]),
  };
}

async function connect(command, args = []) {
  const client = new Client({ name: "kestreye-mcp-test", version: "1" });
  // By default the SDK hands the server only HOME, PATH and a few more: the
  // session's DISPLAY and bus address must be passed on, as a host does.
  await client.connect(new StdioClientTransport({ command, args, env: process.env, stderr: "inherit" }));
  return client;
}

async function scan(client) {
  const result = await client.callTool({ name: "scan_ui_context" });
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, "text");
  const text = result.content[0].text;
  assert.deepEqual(result.structuredContent,
                   result.isError ? { success: false, error: text } : { success: true, ui_block: text });
  return result;
}

async function checkTools(client) {
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((tool) => tool.name), ["scan_ui_context"]);
  assert.match(tools[0].description, /before you write into/);
  assert.deepEqual(tools[0].inputSchema.properties, {});
  assert.equal(tools[0].outputSchema.properties.ui_block.type, "string");
}

async function fixtureTests() {
  const example = here("../../examples/sign-in.json");
  const expected = JSON.parse(execFileSync(opt.replay, [example, "scan"]));
  assert.equal(expected.success, true);
  const client = await connect(opt.server, [example]);
  await checkTools(client);
  const result = await scan(client);
  assert.equal(result.isError, false);
  assert.equal(result.content[0].text, expected.ui_block);
  await assert.rejects(client.callTool({ name: "no_such_tool" }),
                       (e) => e instanceof McpError && e.code === ErrorCode.InvalidParams);
  await client.close();

  for (const [fixture, message] of [["no_permission", "Accessibility permission not granted"],
                                    ["no_frontmost", "No frontmost application"],
                                    ["no_focus", "No focused element"]]) {
    const failing = await connect(opt.server, [here(`fixtures/${fixture}.json`)]);
    const failed = await scan(failing);
    assert.equal(failed.isError, true, fixture);
    assert.equal(failed.content[0].text, message);
    await failing.close();
  }
  await rawTests(example);
}

// Faults the SDK never sends, written straight to the server's input.
async function rawTests(fixture) {
  const server = spawn(opt.server, [fixture], { stdio: ["pipe", "pipe", "inherit"] });
  const exited = once(server, "exit");
  const out = lines(server.stdout);
  const send = (line) => server.stdin.write(line + "\n");
  const request = (id, method, params) => JSON.stringify({ jsonrpc: "2.0", id, method, params });
  const reply = async (id, code) => {
    const message = JSON.parse(await out.next());
    assert.equal(message.jsonrpc, "2.0");
    assert.equal(message.id, id);
    if (code === undefined) return message.result;
    assert.equal(message.error?.code, code, JSON.stringify(message));
  };
  const init = { protocolVersion: "2025-06-18", capabilities: {}, clientInfo: { name: "raw", version: "1" } };

  send(request(1, "initialize", init));
  assert.equal((await reply(1)).protocolVersion, "2025-06-18");
  // Notifications, known or not, get no reply: the next line answers the ping.
  send(JSON.stringify({ jsonrpc: "2.0", method: "notifications/initialized" }));
  send(JSON.stringify({ jsonrpc: "2.0", method: "notifications/no_such_thing", params: {} }));
  // So do a request's method sent as a notification, a response and a blank line.
  send(JSON.stringify({ jsonrpc: "2.0", method: "tools/call", params: { name: "scan_ui_context" } }));
  send('{"jsonrpc":"2.0","id":9,"result":{}}');
  send("  \r");
  send(request(2, "ping"));
  assert.deepEqual(await reply(2), {});
  const faults = [
    ['{"jsonrpc":"2.0","id":3,"method":"ping"', null, ErrorCode.ParseError],
    ['{"jsonrpc":"2.0","id":4,"params":{}}', 4, ErrorCode.InvalidRequest],
    ['{"jsonrpc":"1.0","id":5,"method":"ping"}', 5, ErrorCode.InvalidRequest],
    [request(6, "tools/get", {}), 6, ErrorCode.MethodNotFound],
    [request(7, "initialize", { protocolVersion: 2025 }), 7, ErrorCode.InvalidParams],
    [request(8, "tools/call", { name: "scan_ui_context", arguments: [] }), 8, ErrorCode.InvalidParams],
    ["42", null, ErrorCode.InvalidRequest],
    ["[]", null, ErrorCode.InvalidRequest],
    [`[${request(12, "ping")}]`, null, ErrorCode.InvalidRequest], // batches ended with 2025-03-26
    ['{"jsonrpc":"2.0","id":true,"method":"ping"}', null, ErrorCode.InvalidRequest],
    ['{"jsonrpc":"2.0","id":null,"method":"ping"}', null, ErrorCode.InvalidRequest],
    ['{"jsonrpc":"2.0","id":13,"method":5}', 13, ErrorCode.InvalidRequest],
    [request(14, "ping", "x"), 14, ErrorCode.InvalidRequest],
    [request(15, "ping", []), 15, ErrorCode.InvalidParams],
    [request(16, "tools/list", { cursor: "x" }), 16, ErrorCode.InvalidParams],
    [request(17, "tools/call", {}), 17, ErrorCode.InvalidParams],
    // Over the limit: refused unread, so its id is unknown.
    [request(9, "ping", { pad: "x".repeat(MAX_LINE) }), null, ErrorCode.InvalidRequest],
    ["[".repeat(MAX_LINE), null, ErrorCode.ParseError],
  ];
  for (const [line, id, code] of faults) {
    send(line);
    await reply(id, code);
  }
  // A line of exactly the limit is read.
  const ping = request(10, "ping");
  send(ping + " ".repeat(MAX_LINE - ping.length));
  assert.deepEqual(await reply(10), {});
  send(request(11, "tools/call", { name: "scan_ui_context" }));
  assert.equal((await reply(11)).isError, false);

  server.stdin.end();
  const [status] = await exited;
  assert.equal(status, 0, "exit status at the end of input");
  assert.deepEqual(out.queue, [], "lines nobody asked for");
}

// kestreye-demo with --trace; resolves on trace lines.
function startDemo(focus) {
  const demo = spawn(opt.demo, ["--trace", `--focus=${focus}`], { stdio: ["ignore", "pipe", "inherit"] });
  const trace = lines(demo.stdout);
  const waitFor = async (wanted) => {
    const pending = new Set([wanted].flat());
    const seen = [];
    while (pending.size) {
      const line = await trace.next().catch(() => null);
      if (line === null) throw new Error(`the demo never said ${[...pending]}; last: ${seen.slice(-5)}`);
      seen.push(line);
      for (const want of pending) if (want instanceof RegExp ? want.test(line) : want === line) pending.delete(want);
    }
    return seen.at(-1);
  };
  return { demo, waitFor };
}

const xdotool = (...args) => execFileSync("xdotool", args, { timeout: 30000 });

async function liveTests() {
  const { demo, waitFor } = startDemo("email");
  let client;
  try {
    const window = (await waitFor(/^window /)).split(" ")[1];
    xdotool("windowraise", window);
    xdotool("windowfocus", "--sync", window);
    await waitFor(["active 1", "focus email"]);
    xdotool("type", "--delay", "5", "ann@example.com");
    await waitFor("entry email length=15 caret=15 bound=15");
    // The demo registers with the accessibility bus on its own schedule:
    // `kestreye scan` tells when the tree is there, and what it holds.
    let reference;
    for (const deadline = Date.now() + WAIT_MS; Date.now() < deadline;) {
      reference = JSON.parse(execFileSync(opt.kestreye, ["scan"]));
      if (reference.success && reference.ui_block.includes("ann@example.com")) break;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    assert.equal(reference.success, true, "kestreye scan never saw the typed address");

    client = await connect(opt.server);
    await checkTools(client);
    const first = (await scan(client)).content[0].text;
    assert.equal(first, reference.ui_block);
    assert.deepEqual(first.split("\n").slice(0, 2), [
      'Focused: [TextField] "Email:" value: "ann@example.com" placeholder: "name@example.com" (FOCUSED) in "Sign in"',
      'cursor: "ann@example.com|" (pos 15/15, line 0)']);

    // A second call sees the tree as it is then.
    xdotool("key", "ctrl+a");
    xdotool("type", "--delay", "5", "bo@example.org");
    await waitFor("entry email length=14 caret=14 bound=14");
    const second = (await scan(client)).content[0].text;
    assert.deepEqual(second.split("\n").slice(0, 2), [
      'Focused: [TextField] "Email:" value: "bo@example.org" placeholder: "name@example.com" (FOCUSED) in "Sign in"',
      'cursor: "bo@example.org|" (pos 14/14, line 0)']);
    assert.ok(second.includes('  1. [TextField] "Email:" value: "bo@example.org"'), second);

    xdotool("key", "Tab");
    await waitFor("focus password");
    const third = (await scan(client)).content[0].text;
    assert.equal(third.split("\n")[0], 'Focused: [TextField] "Password:" (FOCUSED) in "Sign in"');
  } finally {
    await client?.close();
    demo.kill();
  }
}

try {
  await (mode === "live" ? liveTests() : fixtureTests());
  console.log(`PASS ${mode}`);
} catch (fault) {
  console.log(`FAIL ${mode}: ${fault.stack ?? fault}`);
  process.exitCode = 1;
}
