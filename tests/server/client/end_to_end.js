// Drives ambrel-server with an independent JSON-RPC client (vscode-jsonrpc) over its standard input
// and output: initialize, getState, a state notification, a refused method, a parse error, cancel,
// shutdown, then the end of the input, and checks the exit code. Prints one line per check; exits
// with status 1 at the first failed check.
//
// Usage: node end_to_end.js <server executable> <workspace root>

'use strict';
const { spawn } = require('child_process');
const rpc = require('vscode-jsonrpc/node');

const [server, workspaceRoot] = process.argv.slice(2);

function fail(message) {
  console.log(`FAIL ${message}`);
  process.exit(1);
}

function check(condition, message) {
  if (!condition) fail(message);
  console.log(`ok ${message}`);
}

function withTimeout(promise, what) {
  let timer;
  const expired = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), 60000);
  });
  return Promise.race([promise, expired]).finally(() => clearTimeout(timer));
}

async function main() {
  const child = spawn(server, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  // The client reports a response without an id (the answer to a body that is not JSON) through its
  // logger.
  const logged = [];
  let onLogged = () => {};
  const record = (message) => { logged.push(String(message)); onLogged(); };
  const logger = { error: record, warn: record, info: record, log: record };
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(child.stdout), new rpc.StreamMessageWriter(child.stdin), logger);
  const states = [];
  let notify;
  const firstState = new Promise((resolve) => { notify = resolve; });
  connection.onNotification('workflow/stateChanged', (params) => { states.push(params); notify(params); });
  connection.listen();

  const init = await connection.sendRequest('initialize', {
    protocolVersion: 41, workspaceRoot, capabilities: { progress: true, log: 'off' } });
  check(init.serverVersion === '0.1.4' && init.protocolVersion === 41, 'initialize answers the versions');
  check(init.capabilities.progress === true && init.log.level === 'off', 'initialize grants progress and the log level');

  const got = await connection.sendRequest('workflow/getState');
  check(typeof got.state.kind === 'string', `getState answers a state of kind ${got.state.kind}`);

  try {
    await connection.sendRequest('workflow/noSuchMethod', {});
    fail('a refused method was answered with a result');
  } catch (error) {
    check(error.code === -32601 && error.message === 'Unknown method: workflow/noSuchMethod',
      'an unknown method is refused with -32601');
  }

  // A body that is not JSON, written between two requests of the client: the answer has id null,
  // which no pending request waits for.
  const parseErrorSeen = new Promise((resolve) => {
    onLogged = () => { if (logged.some((m) => m.includes('Could not parse the JSON-RPC message.'))) resolve(); };
  });
  const garbage = Buffer.from('{not json');
  child.stdin.write(`Content-Length: ${garbage.length}\r\n\r\n`);
  child.stdin.write(garbage);
  await withTimeout(parseErrorSeen, 'the parse error answer');
  check(logged.some((m) => m.includes('-32700') || m.includes('Could not parse the JSON-RPC message.')),
    'a body that is not JSON is answered with a parse error');

  const cancelled = await connection.sendRequest('workflow/cancel', {});
  check(typeof cancelled.cancelled === 'boolean', 'cancel answers whether something was cancelled');
  // With nothing running a cancel changes nothing; starting an operation publishes a state.
  await connection.sendRequest('workflow/loadOrgs', {});

  const state = await withTimeout(firstState, 'a workflow/stateChanged notification');
  check(typeof state.state.kind === 'string', `a state notification arrived (${state.state.kind})`);

  const shutdown = await connection.sendRequest('shutdown');
  check(JSON.stringify(shutdown) === '{}', 'shutdown answers {}');
  child.stdin.end();
  const { code, signal } = await withTimeout(exited, 'the server to exit');
  check(code === 0 && signal === null, 'the server exits with status 0');
  connection.dispose();
}

main().catch((error) => fail(error && error.stack ? error.stack : String(error)));
