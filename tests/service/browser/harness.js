// What both browser tests need: the programs they start (killed when the test ends), a failure
// that lets the test go on to its screenshots, and a wait for a condition.
const { spawn } = require('child_process');

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

module.exports = { start, stopAll, fail, sleep, until };
