// Drives ambrel-server over its standard input and output with the pinned JSON-RPC client through
// the first step of the front end: initialize, then workflow/loadOrgs, and prints the screen the
// listing ends on as one line "state {json}", then shuts the server down. Exits with status 0 when
// the server answered every request and exited with status 0, else 1.
//
// Usage: node load_orgs.js <server executable> <workspace root>

'use strict';
const { spawn } = require('child_process');
const rpc = require('vscode-jsonrpc/node');

const kProtocolVersion = 41;
const kTimeoutMs = 5 * 60 * 1000;

async function main() {
  const [server, workspaceRoot] = process.argv.slice(2);
  const child = spawn(server, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(child.stdout), new rpc.StreamMessageWriter(child.stdin));
  let settle;
  const settled = new Promise((resolve) => { settle = resolve; });
  connection.onNotification('workflow/stateChanged', ({ state }) => {
    if ((state.kind === 'selecting' || state.kind === 'error') && !state.activeOperation) settle(state);
  });
  connection.listen();
  await connection.sendRequest('initialize', {
    protocolVersion: kProtocolVersion, workspaceRoot, capabilities: { progress: true, log: 'standard' } });
  await connection.sendRequest('workflow/loadOrgs');
  let timer;
  const state = await Promise.race([settled, new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error('no selecting or error screen in time')), kTimeoutMs);
  })]);
  clearTimeout(timer);
  console.log(`state ${JSON.stringify(state)}`);
  await connection.sendRequest('shutdown');
  child.stdin.end();
  const { code } = await exited;
  connection.dispose();
  if (code !== 0) throw new Error(`the server exited with status ${code}`);
}

main().catch((error) => {
  console.log(`FAILED: ${(error && error.stack) || error}`);
  process.exitCode = 1;
});
