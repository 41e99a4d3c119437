// Runs the npm package qfs-compression on files for the cross-check test.
// Usage: node qfs_tool.js NODE_MODULES (compress|decompress IN OUT)...
'use strict';
const fs = require('fs');
const path = require('path');

const qfs = require(path.join(process.argv[2], 'qfs-compression'));
const args = process.argv.slice(3);
for (let i = 0; i + 2 < args.length; i += 3) {
  const [op, input, output] = args.slice(i, i + 3);
  const data = fs.readFileSync(input);
  try {
    fs.writeFileSync(output, op === 'compress' ? qfs.compress(data) : qfs.decompress(data));
  } catch (e) {
    console.error(`${op} ${input}: ${e.message}`);
    process.exitCode = 1;
  }
}
