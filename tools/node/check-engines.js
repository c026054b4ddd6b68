// Checks that the Node.js running this script satisfies the "engines.node" range of every package in
// the given npm lock files (the pinned Salesforce CLI's). Exit status 0 when it does; otherwise 1, with
// the Node.js version and each unsatisfied range on standard error. The scripts run it with the node on
// PATH to decide whether the repository's pinned Node.js is needed, so it uses nothing newer than
// what old Node.js versions understand.
'use strict';

var fs = require('fs');

function parseVersion(text) {
  var match = /^v?(\d+)(?:\.(\d+|[xX*]))?(?:\.(\d+|[xX*]))?(?:[-+].*)?$/.exec(text);
  if (!match) return null;
  var parts = [match[1], match[2], match[3]];
  var numbers = [];
  for (var i = 0; i < 3; i++) {
    if (parts[i] === undefined || /^[xX*]$/.test(parts[i])) break;
    numbers.push(Number(parts[i]));
  }
  return numbers;  // the given parts only: [22], [22, 5] or [22, 5, 1]
}

function compare(a, b) {
  for (var i = 0; i < 3; i++) {
    if (a[i] !== b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

function padded(parts) { return [parts[0] || 0, parts[1] || 0, parts[2] || 0]; }

// The upper end (exclusive) of a partial version: 20 -> 21.0.0, 20.5 -> 20.6.0.
function nextOf(parts) {
  if (parts.length === 0) return null;
  if (parts.length === 1) return [parts[0] + 1, 0, 0];
  if (parts.length === 2) return [parts[0], parts[1] + 1, 0];
  return null;
}

// Whether `version` ([major, minor, patch]) satisfies one comparator such as ">=20.5.0", "^18.17.0",
// "~1.2", "20", "10.x" or "*".
function satisfiesComparator(version, comparator) {
  var match = /^(>=|<=|>|<|=|\^|~)?(.*)$/.exec(comparator);
  var operator = match[1] || '';
  var parts = parseVersion(match[2]);
  if (parts === null) {
    if (match[2] === '' || match[2] === '*') return true;
    throw new Error('unreadable comparator "' + comparator + '"');
  }
  var low = padded(parts);
  var high;
  switch (operator) {
    case '>=': return compare(version, low) >= 0;
    case '>': return parts.length < 3 ? compare(version, nextOf(parts) || low) >= 0 : compare(version, low) > 0;
    case '<': return compare(version, low) < 0;
    case '<=': return parts.length < 3 ? compare(version, nextOf(parts) || low) < 0 : compare(version, low) <= 0;
    case '^':
      if (low[0] > 0 || parts.length === 1) high = [low[0] + 1, 0, 0];
      else if (low[1] > 0 || parts.length === 2) high = [0, low[1] + 1, 0];
      else high = [0, 0, low[2] + 1];
      return compare(version, low) >= 0 && compare(version, high) < 0;
    case '~':
      high = parts.length === 1 ? [low[0] + 1, 0, 0] : [low[0], low[1] + 1, 0];
      return compare(version, low) >= 0 && compare(version, high) < 0;
    default:
      high = nextOf(parts);
      return high === null ? compare(version, low) === 0
                           : compare(version, low) >= 0 && compare(version, high) < 0;
  }
}

// Whether `version` satisfies a whole range: alternatives joined by "||", each a list of comparators
// (or a hyphen range "1.2.3 - 2.3.4") that all have to hold.
function satisfies(version, range) {
  return range.split('||').some(function (alternative) {
    var text = alternative.trim().replace(/(>=|<=|>|<|=|\^|~)\s+/g, '$1');
    var hyphen = /^(\S+)\s+-\s+(\S+)$/.exec(text);
    if (hyphen) return satisfiesComparator(version, '>=' + hyphen[1]) && satisfiesComparator(version, '<=' + hyphen[2]);
    return text.split(/\s+/).every(function (comparator) { return satisfiesComparator(version, comparator); });
  });
}

// The engines.node ranges of a lock file's packages: [{name, range}].
function nodeRanges(lockFile) {
  var lock = JSON.parse(fs.readFileSync(lockFile, 'utf8'));
  var ranges = [];
  Object.keys(lock.packages || {}).forEach(function (name) {
    var engines = lock.packages[name].engines;
    if (engines && typeof engines.node === 'string') ranges.push({ name: name, range: engines.node });
    if (Array.isArray(engines)) {
      // The old form: ["node >= 0.2.0"].
      engines.forEach(function (entry) {
        var old = /^node\s+(.*)$/.exec(entry);
        if (old) ranges.push({ name: name, range: old[1] });
      });
    }
  });
  return ranges;
}

function main(lockFiles) {
  if (lockFiles.length === 0) {
    process.stderr.write('usage: node check-engines.js <package-lock.json>...\n');
    return 2;
  }
  var version = padded(parseVersion(process.versions.node));
  var unsatisfied = [];
  lockFiles.forEach(function (lockFile) {
    nodeRanges(lockFile).forEach(function (entry) {
      if (!satisfies(version, entry.range)) unsatisfied.push(entry.name + ' needs node ' + entry.range);
    });
  });
  if (unsatisfied.length === 0) return 0;
  process.stderr.write('Node.js ' + process.versions.node + ' does not satisfy the engines of ' +
                       unsatisfied.length + ' package(s):\n  ' + unsatisfied.join('\n  ') + '\n');
  return 1;
}

if (require.main === module) {
  try {
    process.exitCode = main(process.argv.slice(2));
  } catch (error) {
    process.stderr.write('check-engines: ' + error.message + '\n');
    process.exitCode = 2;
  }
}

module.exports = { satisfies: satisfies };
