// Drives ambrel-server over its standard input and output as the desktop front end would, with the
// pinned JSON-RPC client (vscode-jsonrpc): a git↔git compare of two branches of one repository, then a
// deploy of every deployable row (dependencies included) to the target branch as one commit.
//
// Steps: initialize (protocol 41, progress and the standard log on), inspectGitRepo, selectSource and
// selectTarget (the two branches), selectMetadataType for each chosen type, compare, and on "reviewing"
// the difference table; deploy, the answers the deploy screens ask for, and on "results" the deploy
// result table and the target branch's new commit; shutdown.
//
// Exit status 0 only when every step did what it should. On a failure it prints the server's message
// and the tail of the session log, and exits with status 1.
//
// Usage: node demo.js --server EXE --root DIR --repo DIR --source BRANCH --target BRANCH
//                     [--select TYPE=NAME,NAME ...] [--report FILE]
// The server's HOME and XDG_DATA_HOME are set by the caller (scripts/run points them into DIR).

'use strict';
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const rpc = require('vscode-jsonrpc/node');

const kProtocolVersion = 41;
const kStepTimeoutMs = 10 * 60 * 1000;
const kLogTailLines = 30;
const kSucceeded = 'SUCCEEDED';

// The demo's selection: the changed and added components of samples/ebikes-lwc-changes, and the
// object the new lookup field refers to, so the field's row shows its dependency on the object's row.
const kDefaultSelection = [
  ['CustomField', ['Product__c', 'Warranty__c']],
  ['Layout', ['Product__c-Product Layout']],
  ['ApexClass', ['WarrantyService']],
];

function parseArguments(argv) {
  const options = { select: [] };
  for (let i = 0; i < argv.length; i += 2) {
    const [flag, value] = [argv[i], argv[i + 1]];
    if (value === undefined) throw new Error(`missing value after ${flag}`);
    switch (flag) {
      case '--server': options.server = value; break;
      case '--root': options.root = value; break;
      case '--repo': options.repo = value; break;
      case '--source': options.source = value; break;
      case '--target': options.target = value; break;
      case '--report': options.report = value; break;
      case '--select': {
        const equals = value.indexOf('=');
        if (equals <= 0) throw new Error(`--select wants TYPE=NAME,NAME, not ${value}`);
        options.select.push([value.slice(0, equals), value.slice(equals + 1).split(',').filter((n) => n !== '')]);
        break;
      }
      default: throw new Error(`unknown option ${flag}`);
    }
  }
  for (const needed of ['server', 'root', 'repo', 'source', 'target']) {
    if (!options[needed]) throw new Error(`--${needed} is required`);
  }
  if (options.select.length === 0) options.select = kDefaultSelection;
  return options;
}

class StepFailure extends Error {}

function keyText(key) { return `${key.metadataType}:${key.name}`; }

function printTable(headers, rows) {
  const widths = headers.map((h, i) => Math.max(h.length, ...rows.map((r) => String(r[i]).length)));
  const line = (cells) => cells.map((c, i) => String(c).padEnd(widths[i])).join('  ').trimEnd();
  console.log(line(headers));
  console.log(line(widths.map((w) => '-'.repeat(w))));
  for (const row of rows) console.log(line(row));
}

function gitRevision(repo, ref) {
  try {
    return execFileSync('git', ['-C', repo, 'rev-parse', '--verify', '-q', `refs/heads/${ref}`],
      { encoding: 'utf8' }).trim();
  } catch {
    return null;
  }
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const report = { rows: [], results: [], commit: null };
  const child = spawn(options.server, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(child.stdout), new rpc.StreamMessageWriter(child.stdin));

  // Every state the server published, in order; a waiter looks only at those after its request.
  const states = [];
  let wake = () => {};
  connection.onNotification('workflow/stateChanged', (params) => { states.push(params.state); wake(); });
  let lastProgress = '';
  connection.onNotification('workflow/progress', (params) => {
    if (params.message && params.message !== lastProgress) {
      lastProgress = params.message;
      console.error(`  … ${params.message}`);
    }
  });
  connection.listen();
  let logPath = null;

  // Sends a request, then waits for a published state of one of `kinds` (an "error" state fails).
  async function requestState(method, params, kinds) {
    const from = states.length;
    const answer = await connection.sendRequest(method, params);
    const deadline = Date.now() + kStepTimeoutMs;
    for (let seen = from; ;) {
      for (; seen < states.length; ++seen) {
        const state = states[seen];
        if (state.kind === 'error') {
          throw new StepFailure(`${method} ended on the error screen: ${state.message}` +
            (state.details ? `\n${state.details}` : ''));
        }
        if (kinds.includes(state.kind) && !state.activeOperation) return { answer, state };
      }
      const remaining = deadline - Date.now();
      if (remaining <= 0) throw new StepFailure(`${method}: no ${kinds.join(' or ')} state in time`);
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, remaining);
        wake = () => { clearTimeout(timer); resolve(); };
      });
    }
  }

  async function shutdown() {
    try {
      await connection.sendRequest('shutdown');
    } finally {
      child.stdin.end();
    }
    const { code, signal } = await exited;
    connection.dispose();
    if (code !== 0) throw new StepFailure(`the server exited with ${signal ?? `status ${code}`}`);
  }

  try {
    const init = await connection.sendRequest('initialize', {
      protocolVersion: kProtocolVersion, workspaceRoot: options.root,
      capabilities: { progress: true, log: 'standard' } });
    logPath = init.log && init.log.path;

    const inspection = await connection.sendRequest('workflow/inspectGitRepo', { path: options.repo });
    if (!inspection.valid) throw new StepFailure(`inspectGitRepo: ${inspection.reason}`);
    const branches = new Set(inspection.branches.filter((b) => b.kind === 'local').map((b) => b.name));
    for (const branch of [options.source, options.target]) {
      if (!branches.has(branch)) throw new StepFailure(`the repository has no local branch ${branch}`);
    }
    const endpoint = (branch) => ({ kind: 'git', path: options.repo,
      branch: { name: branch, kind: 'local', isCurrent: branch === inspection.currentBranch, create: false } });

    let { state } = await requestState('workflow/selectSource', { endpoint: endpoint(options.source) }, ['selecting']);
    ({ state } = await requestState('workflow/selectTarget', { endpoint: endpoint(options.target) }, ['selecting']));
    if (state.errorMessage) throw new StepFailure(`selectTarget: ${state.errorMessage}`);

    const chosen = new Map(options.select);
    const listed = (screen) => new Set(screen.components.map((c) => c.apiName));
    for (const [type, names] of options.select) {
      if (state.currentType !== type) {
        ({ state } = await requestState('workflow/selectMetadataType',
          { metadataType: type, currentSelection: chosen.get(state.currentType) ?? [] }, ['selecting']));
      }
      if (state.errorMessage) throw new StepFailure(`selectMetadataType ${type}: ${state.errorMessage}`);
      const present = listed(state);
      const missing = names.filter((name) => !present.has(name));
      if (missing.length) throw new StepFailure(`the source branch lists no ${type} ${missing.join(', ')}`);
    }

    ({ state } = await requestState('workflow/compare',
      { currentSelection: chosen.get(state.currentType) ?? [] }, ['reviewing']));
    if (state.errorMessage) throw new StepFailure(`compare: ${state.errorMessage}`);
    const rows = state.differences;
    report.rows = rows;
    console.log(`\nDifferences between ${options.source} (source) and ${options.target} (target):\n`);
    printTable(['Type', 'Name', 'Change', 'Depends on', 'Cannot be deployed because'],
      rows.map((r) => [r.metadataType, r.name, r.change, r.dependencies.map(keyText).join(', '), r.blockReason ?? '']));
    for (const warning of state.dependencyWarnings) console.log(`warning: ${warning}`);

    // Every deployable row, and the rows those depend on or pull along.
    const byKey = new Map(rows.map((r) => [keyText(r), r]));
    const selected = new Map();
    const add = (key) => {
      const row = byKey.get(keyText(key));
      if (!row || !row.canDeploy || selected.has(keyText(row))) return;
      selected.set(keyText(row), { metadataType: row.metadataType, name: row.name });
      for (const next of [...row.dependencies, ...row.cascadeSelects]) add(next);
    };
    rows.forEach(add);
    if (selected.size === 0) throw new StepFailure('the compare shows no deployable row');
    const before = gitRevision(options.repo, options.target);

    const sessionId = state.sessionId;
    ({ state } = await requestState('workflow/deploy', { selected: [...selected.values()], flsMode: 'NONE' },
      ['results', 'selectingTests', 'selectingFlsContainers', 'targetHealth']));
    // Git targets run no tests and hold no containers; the screens are answered as a user passing through.
    for (let turns = 0; state.kind !== 'results'; ++turns) {
      if (turns > 3) throw new StepFailure(`deploy stays on the ${state.kind} screen`);
      const next = ['results', 'selectingTests', 'selectingFlsContainers', 'targetHealth'];
      if (state.kind === 'selectingTests') {
        ({ state } = await requestState('workflow/confirmTests', { sessionId, tests: [] }, next));
      } else if (state.kind === 'selectingFlsContainers') {
        ({ state } = await requestState('workflow/confirmFlsContainers', { containers: [] }, next));
      } else {
        ({ state } = await requestState('workflow/confirmTargetHealth', { action: 'deploy' }, next));
      }
    }

    const results = state.summary.fieldResults;
    report.results = results;
    console.log(`\nDeploy to ${options.target}:\n`);
    printTable(['Component', 'Operation', 'Status', 'Message'],
      results.map((r) => [keyText(r), r.operation, r.status, r.message ?? '']));
    const after = gitRevision(options.repo, options.target);
    if (after && after !== before) {
      const commit = execFileSync('git', ['-C', options.repo, 'log', '-1', '--format=%H %s', after], { encoding: 'utf8' }).trim();
      report.commit = after;
      console.log(`\nNew commit on ${options.target}: ${commit}`);
    }
    const failed = results.filter((r) => r.status !== kSucceeded);
    if (results.length === 0 || failed.length) {
      throw new StepFailure(`the deploy did not succeed for every component\n${state.summary.sanitizedDetails ?? ''}`);
    }
    if (!report.commit) throw new StepFailure(`the deploy made no commit on ${options.target}`);
    await shutdown();
  } catch (error) {
    console.log(`\nFAILED: ${error instanceof StepFailure ? error.message : (error && error.stack) || error}`);
    if (logPath && fs.existsSync(logPath)) {
      const lines = fs.readFileSync(logPath, 'utf8').trimEnd().split('\n');
      console.log(`\nSession log (${path.basename(logPath)}), last ${kLogTailLines} lines:`);
      for (const line of lines.slice(-kLogTailLines)) console.log(line);
    }
    child.kill('SIGTERM');
    process.exitCode = 1;
  } finally {
    if (options.report) fs.writeFileSync(options.report, JSON.stringify(report, null, 2));
  }
}

main().catch((error) => {
  console.log(`FAILED: ${(error && error.stack) || error}`);
  process.exitCode = 1;
});
