// The line view in headless Chromium: two stations (`vandrel-cli serve`, two virtual handsets
// each) share one PostgreSQL record store. The dashboard of station A shows both stations; a job
// started on station B shows on A's page as it runs and with its results (B's failing handset as
// FAIL with its reason), and B leaves A's line when it stops. Pictures go to the screenshots folder.
//
//   node line.test.js CLI SIM SAMPLES_DIR SCREENSHOT_DIR WORK_DIR STORE_URL
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [cli, sim, samples, shots, work, store] = process.argv.slice(2);
const { prepareWork, start, stopAll, fail, sleep, until } = require('./harness');

// A station: its handsets (the last one refuses the download where refuse is set) and its service.
async function station(name, refuse, env) {
  const ports = [1, 2].map((k) => path.join(work, name + k));
  ports.forEach((port, k) => start(sim, ['--uart', port, '--line-rate', '921600',
                                         ...(refuse && k === 1 ? ['--flash-write-answer', '1'] : [])]));
  await until('the handsets of ' + name, () => ports.every((p) => fs.existsSync(p)), 20);
  const serve = start(cli, [...ports.flatMap((p) => ['--port', p]), '--store', store,
                            'serve', '--jobs', path.join(work, 'jobs'), '--listen', '127.0.0.1:0'], { env });
  let printed = '';
  serve.stdout.on('data', (d) => { printed += d; });
  serve.stderr.on('data', (d) => process.stderr.write(d));
  const url = (await until('the address of ' + name, () => /the station is at (http:\S+)/.exec(printed), 20))[1];
  return { ports, serve, url };
}

async function startJob(s) {
  const response = await fetch(s.url + 'api/v1/station/start', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ job: 'r3700-line', watch: false }) });
  if (response.status !== 202) throw new Error('the job did not start: ' + await response.text());
}

async function main() {
  prepareWork(work, samples, shots);
  const env = { ...process.env, VANDREL_CONFIG_DIR: path.join(work, 'config'), XDG_DATA_HOME: work };
  execFileSync(cli, ['store', 'init', store], { env, stdio: 'ignore' });
  const a = await station('a', false, env);
  const b = await station('b', true, env);

  const browser = await puppeteer.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
                                           args: ['--no-sandbox', '--disable-gpu'], headless: true });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1366, height: 768 });
    page.on('pageerror', (e) => fail('page error: ' + e.message));
    await page.goto(a.url);
    await page.waitForFunction(() => !document.querySelector('#line').hidden &&
                                     document.querySelectorAll('#stations .station').length === 2, { timeout: 30000 });
    const self = await page.$$eval('#stations .station', (all) => all.map((s) => s.classList.contains('self')));
    if (self.filter(Boolean).length !== 1) fail('this station is marked ' + self.filter(Boolean).length + ' times');

    // station B runs its job: A's page shows B's handsets at work, then their results
    await startJob(b);
    await startJob(a);
    const cardOf = (url) => `#stations .station[data-url="${url}"]`;
    await page.waitForFunction((card) => document.querySelector(card + ' .chip.running'), { timeout: 30000 },
                               cardOf(b.url));
    await page.screenshot({ path: path.join(shots, 'line-running.png'), fullPage: true });
    await page.waitForFunction((card) => document.querySelectorAll(card + ' .chip.passed').length === 1 &&
                                         document.querySelectorAll(card + ' .chip.failed').length === 1,
                               { timeout: 90000 }, cardOf(b.url));
    await page.waitForFunction((card) => document.querySelectorAll(card + ' .chip.passed').length === 2,
                               { timeout: 90000 }, cardOf(a.url));
    const bStation = await (await fetch(b.url + 'api/v1/station')).json();
    const failedPort = bStation.ports.find((p) => p.port === b.ports[1]);
    const chip = await page.$eval(cardOf(b.url) + ' .chip.failed', (c) => ({ text: c.textContent, title: c.title }));
    if (!chip.text.endsWith('FAIL') || chip.title !== failedPort.last.reason || !chip.title) {
      fail('B\'s failing handset shows ' + JSON.stringify(chip) + ', not FAIL with "' + failedPort.last.reason + '"');
    }
    const tally = await page.$eval(cardOf(b.url) + ' .counts', (c) => c.textContent);
    if (tally !== '1 passed · 1 failed') fail('B\'s tally on A\'s page: ' + tally);
    await page.screenshot({ path: path.join(shots, 'line-results.png'), fullPage: true });
    await page.setViewport({ width: 390, height: 844, isMobile: true });
    await page.screenshot({ path: path.join(shots, 'line-phone.png'), fullPage: true });
    await page.setViewport({ width: 1366, height: 768 });

    // B stops: it leaves A's line (at once, not when its heartbeat grows old)
    b.serve.kill('SIGTERM');
    await page.waitForFunction(() => document.querySelectorAll('#stations .station').length === 1, { timeout: 20000 });
  } finally {
    await browser.close();
  }
  for (const s of [a, b]) {
    s.serve.kill('SIGTERM');
    await until('the service to end', () => s.serve.exitCode !== null || s.serve.signalCode !== null, 30);
    if (s.serve.exitCode !== 143) fail('serve ended with ' + s.serve.exitCode + ' ' + s.serve.signalCode);
  }
}

main().then(() => { stopAll(); if (!process.exitCode) console.log('line: ok'); },
            (e) => { fail(e.stack || String(e)); stopAll(); });
