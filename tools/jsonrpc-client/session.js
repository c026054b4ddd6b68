// Drives ambrel-server over its standard input and output with the pinned JSON-RPC client through a
// scripted session, as the front end would, and prints everything the server said as JSON lines, so
// a test can check the whole conversation. The end-to-end tests of the org roads use it.
//
// Usage: node session.js --server EXE --script FILE
//
// The script is one JSON object:
//   { "initialize": { ...params of "initialize"... },       (default: protocol 41, progress, standard log;
//                                                              "workspaceRoot" is required)
//     "steps": [ STEP, ... ] }
// A step is one of:
//   { "request": METHOD, "params": {...}, "until": [KIND, ...] }
//       sends the request; with "until", waits for a published state of one of those kinds that runs
//       no operation (an "error" state not listed ends the session as a failure). When the answer names
//       an operation ({"operationId": N}), only states published once that operation showed up count,
//       so a screen republished by an earlier command (for example the external-key status after
//       choosing the target) is not taken for the operation's end. With "untilKey" as well (a key, or a
//       dotted path such as "orgPreparation.applied"), only a state in which that value is present and
//       neither null nor false counts.
//   { "waitProgress": TEXT }     waits for a progress notification whose message contains TEXT.
//   { "waitFile": PATH }         waits until PATH exists (for example a file a fake tool writes).
//   { "signal": NAME }           sends the signal (for example "SIGTERM") to the server and ends the
//                                steps: no "shutdown" follows and the input stays open, so only the
//                                signal can stop the server.
// In "params", these strings are replaced before sending:
//   "$sessionId"    the sessionId of the last published state;
//   "$deployable"   every row of the last published state's differences that can be deployed, as
//                   {metadataType, name} keys.
// Every step has ten minutes.
//
// Output, one JSON object per line on standard output:
//   {"event":"answer","step":N,"method":M,"result":R}     a request's answer
//   {"event":"refused","step":N,"method":M,"code":C,"message":T}   a request answered with an error
//   {"event":"state","state":S}                           every workflow/stateChanged, in order
//   {"event":"progress","params":P}                       every workflow/progress, in order
//   {"event":"signal","signal":NAME}                      a signal sent to the server
//   {"event":"failed","message":T}                        why the session stopped early
//   {"event":"exit","code":C,"signal":S}                  how the server ended
// Exit status 0 when every step did what it asked and the server exited with status 0 after
// "shutdown" (or after the signal), else 1.

'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const rpc = require('vscode-jsonrpc/node');

const kProtocolVersion = 41;
const kStepTimeoutMs = 10 * 60 * 1000;
const kFilePollMs = 20;
const kExitGraceMs = 30 * 1000;

class StepFailure extends Error {}

function emit(event) { process.stdout.write(`${JSON.stringify(event)}\n`); }

function parseArguments(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const [flag, value] = [argv[i], argv[i + 1]];
    if (value === undefined) throw new Error(`missing value after ${flag}`);
    if (flag === '--server') options.server = value;
    else if (flag === '--script') options.script = value;
    else throw new Error(`unknown option ${flag}`);
  }
  if (!options.server || !options.script) throw new Error('--server and --script are required');
  return options;
}

function deployableKeys(state) {
  return (state?.differences ?? []).filter((row) => row.canDeploy)
    .map((row) => ({ metadataType: row.metadataType, name: row.name }));
}

// Whether the value at a dotted path of the state is present and neither null nor false.
function holds(state, path) {
  const value = path.split('.').reduce((object, key) => (object == null ? undefined : object[key]), state);
  return value !== undefined && value !== null && value !== false;
}

function substitute(value, lastState) {
  if (value === '$sessionId') return lastState?.sessionId ?? null;
  if (value === '$deployable') return deployableKeys(lastState);
  if (Array.isArray(value)) return value.map((item) => substitute(item, lastState));
  if (value && typeof value === 'object') {
    return Object.fromEntries(Object.entries(value).map(([key, item]) => [key, substitute(item, lastState)]));
  }
  return value;
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const script = JSON.parse(fs.readFileSync(options.script, 'utf8'));
  const child = spawn(options.server, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(child.stdout), new rpc.StreamMessageWriter(child.stdin));

  const states = [];
  const progress = [];
  let wake = () => {};
  connection.onNotification('workflow/stateChanged', (params) => {
    states.push(params.state);
    emit({ event: 'state', state: params.state });
    wake();
  });
  connection.onNotification('workflow/progress', (params) => {
    progress.push(params);
    emit({ event: 'progress', params });
    wake();
  });
  connection.listen();

  // Waits until `done` holds, re-checking on every notification (and every poll for files).
  async function waitFor(what, done, pollMs) {
    const deadline = Date.now() + kStepTimeoutMs;
    for (;;) {
      if (done()) return;
      const remaining = deadline - Date.now();
      if (remaining <= 0) throw new StepFailure(`no ${what} in time`);
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, Math.min(remaining, pollMs ?? remaining));
        wake = () => { clearTimeout(timer); resolve(); };
      });
    }
  }

  let ok = true;
  let signalled = false;
  try {
    const init = { protocolVersion: kProtocolVersion, capabilities: { progress: true, log: 'standard' },
      ...(script.initialize ?? {}) };
    emit({ event: 'answer', step: -1, method: 'initialize', result: await connection.sendRequest('initialize', init) });

    for (const [index, step] of (script.steps ?? []).entries()) {
      if (step.waitProgress !== undefined) {
        await waitFor(`progress "${step.waitProgress}"`,
          () => progress.some((p) => (p.message ?? '').includes(step.waitProgress)));
        continue;
      }
      if (step.waitFile !== undefined) {
        await waitFor(`file ${step.waitFile}`, () => fs.existsSync(step.waitFile), kFilePollMs);
        continue;
      }
      if (step.signal !== undefined) {
        emit({ event: 'signal', signal: step.signal });
        child.kill(step.signal);
        signalled = true;
        break;
      }
      const from = states.length;
      const params = substitute(step.params, states[states.length - 1]);
      let operationId = null;
      try {
        const result = await connection.sendRequest(step.request, params);
        if (Number.isInteger(result?.operationId)) operationId = result.operationId;
        emit({ event: 'answer', step: index, method: step.request, result: result ?? null });
      } catch (error) {
        if (!(error instanceof rpc.ResponseError)) throw error;
        emit({ event: 'refused', step: index, method: step.request, code: error.code, message: error.message });
        if (!step.refused) throw new StepFailure(`${step.request} was refused: ${error.message}`);
        continue;
      }
      if (!step.until) continue;
      let seen = from;
      let started = operationId === null;
      await waitFor(`${step.until.join(' or ')} state after ${step.request}`, () => {
        for (; seen < states.length; ++seen) {
          const state = states[seen];
          if (state.activeOperation?.operationId === operationId) started = true;
          if (state.activeOperation) continue;
          if (!started && state.kind !== 'error') continue;
          if (step.until.includes(state.kind) && (step.untilKey === undefined || holds(state, step.untilKey))) {
            return true;
          }
          if (state.kind === 'error') {
            throw new StepFailure(`${step.request} ended on the error screen: ${state.message}`);
          }
        }
        return false;
      });
    }
    if (!signalled) await connection.sendRequest('shutdown');
  } catch (error) {
    ok = false;
    emit({ event: 'failed', message: error instanceof StepFailure ? error.message : String(error?.stack ?? error) });
  }
  // After a signal the input stays open, so that the signal alone has to end the server.
  if (!signalled) child.stdin.end();
  // A server stuck after a failed step must not hold the test: it gets a while to end, then is killed.
  const killer = setTimeout(() => child.kill('SIGKILL'), kExitGraceMs);
  const { code, signal } = await exited;
  clearTimeout(killer);
  connection.dispose();
  emit({ event: 'exit', code, signal });
  if (!ok || code !== 0) process.exitCode = 1;
}

main().catch((error) => {
  emit({ event: 'failed', message: String(error?.stack ?? error) });
  process.exitCode = 1;
});
