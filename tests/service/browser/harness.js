// What both browser tests need: a fresh work folder with the sample job in it, the programs they
// start (killed when the test ends), a failure that lets the test go on to its screenshots, and a
// wait for a condition.
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');

// WORK emptied, WORK/jobs holding the samples' job and images, the screenshots folder made.
function prepareWork(work, samples, shots) {
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(path.join(work, 'jobs'), { recursive: true });
  fs.mkdirSync(shots, { recursive: true });
  for (const file of fs.readdirSync(samples)) {
    if (/\.(toml|m0)$/.test(file)) fs.copyFileSync(path.join(samples, file), path.join(work, 'jobs', file));
  }
}

const children = [];
function start(program, args, options = {}) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  children.push(child);
  return child;
}
function stopAll() {
  for (const child of children) if (child.exitCode === null) child.kill('SIGKILL');
}
process.on('exit', stopAll);
const fail = (text) => { console.error('FAIL: ' + text); process.exitCode = 1; };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(what, test, seconds = 60) {
  for (const end = Date.now() + seconds * 1000; Date.now() < end; await sleep(100)) {
    const value = await test();
    if (value) return value;
  }
  throw new Error('timed out waiting for ' + what);
}

module.exports = { prepareWork, start, stopAll, fail, sleep, until };
