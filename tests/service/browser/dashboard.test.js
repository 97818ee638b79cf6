// The dashboard in headless Chromium (Debian's, driven through its DevTools protocol by
// puppeteer-core, which downloads no browser) against `vandrel-cli serve` on three virtual
// handsets: two that pass and one that answers that a download is not possible. A job is started
// from the dashboard; the tiles change while the handsets are flashed, the failing one shows FAIL
// with the reason the service gives, the history lists the attempts and shows a log. Pictures go
// to the screenshots folder.
//
//   node dashboard.test.js CLI SIM SAMPLES_DIR SCREENSHOT_DIR WORK_DIR
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [cli, sim, samples, shots, work] = process.argv.slice(2);
const { prepareWork, start, stopAll, fail, sleep, until } = require('./harness');

async function main() {
  prepareWork(work, samples, shots);
  // the handsets, paced so that a job takes a few seconds
  const ports = ['h1', 'h2', 'h3'].map((name) => path.join(work, name));
  start(sim, ['--uart', ports[0], '--line-rate', '921600']);
  start(sim, ['--uart', ports[1], '--line-rate', '921600']);
  start(sim, ['--uart', ports[2], '--line-rate', '921600', '--flash-write-answer', '1']);
  await until('the handsets', () => ports.every((p) => fs.existsSync(p)), 20);

  const env = { ...process.env, VANDREL_CONFIG_DIR: path.join(work, 'config'), XDG_DATA_HOME: work };
  // a job with serials never makes its store: it is made on purpose first
  execFileSync(cli, ['store', 'init', path.join(work, 'records.db')], { env, stdio: 'ignore' });
  const serve = start(cli, [...ports.flatMap((p) => ['--port', p]), '--store', path.join(work, 'records.db'),
                            'serve', '--jobs', path.join(work, 'jobs'), '--listen', '127.0.0.1:0'], { env });
  let printed = '';
  serve.stdout.on('data', (d) => { printed += d; });
  serve.stderr.on('data', (d) => process.stderr.write(d));
  const url = (await until('the address', () => /the station is at (http:\S+)/.exec(printed), 20))[1];

  const browser = await puppeteer.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
                                           args: ['--no-sandbox', '--disable-gpu'], headless: true });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1366, height: 768 });
    page.on('pageerror', (e) => fail('page error: ' + e.message));
    await page.goto(url);
    await page.waitForFunction(() => document.querySelectorAll('.tile').length === 3);
    await page.waitForFunction(() => document.querySelectorAll('#jobs option').length > 0);
    await page.screenshot({ path: path.join(shots, 'dashboard-idle.png') });

    await page.click('#start');
    await page.waitForFunction(() => document.querySelector('.tile.running'), { timeout: 30000 });
    await page.waitForFunction(() => [...document.querySelectorAll('.tile.running .state')]
                                         .some((s) => / [1-9][0-9]?%$/.test(s.textContent)), { timeout: 30000 });
    await page.screenshot({ path: path.join(shots, 'dashboard-running.png') });

    await page.waitForFunction(() => document.querySelectorAll('.tile .verdict').length === 3, { timeout: 90000 });
    const tiles = await page.$$eval('.tile', (all) => all.map((t) => ({
      port: t.dataset.port, verdict: t.querySelector('.verdict').textContent,
      reason: t.querySelector('.reason').textContent, serial: (t.querySelector('.serial') || {}).textContent })));
    const station = await (await fetch(url + 'api/v1/station')).json();
    for (const tile of tiles) {
      const port = station.ports.find((p) => p.port === tile.port);
      const expected = port.port === ports[2] ? 'FAIL' : 'PASS';
      if (tile.verdict !== expected) fail(tile.port + ' shows ' + tile.verdict + ', not ' + expected);
      if (tile.reason !== port.last.reason || !tile.reason) fail(tile.port + ': the tile says "' + tile.reason + '"');
      if (expected === 'PASS' && tile.serial !== port.last.serial) fail(tile.port + ': serial ' + tile.serial);
    }
    if (station.tally.passed !== 2 || station.tally.failed !== 1) fail('tally ' + JSON.stringify(station.tally));
    await page.waitForFunction(() => document.querySelectorAll('#attempts tbody tr').length >= 3);
    await page.waitForFunction(() => document.querySelector('#passed').textContent === '2');
    // the charts: this hour's bar, and the failing handset's kind of failure counted once, with
    // its reason
    await page.waitForFunction(() => document.querySelectorAll('#yield rect.fail').length > 0 &&
                                     document.querySelectorAll('#reasons tbody tr').length === 1);
    const reasonRow = await page.$eval('#reasons tbody tr', (r) => [r.dataset.error, r.querySelector('.error').textContent,
                                                                    r.querySelector('.latest').textContent, r.cells[1].textContent]);
    const failedPort = station.ports.find((p) => p.port === ports[2]);
    if (failedPort.last.error !== 'not-possible' || reasonRow[0] !== failedPort.last.error ||
        reasonRow[1] !== failedPort.last.error || reasonRow[2] !== failedPort.last.reason || reasonRow[3] !== '1') {
      fail('failures by kind: ' + reasonRow + ' for ' + JSON.stringify(failedPort.last));
    }
    await page.screenshot({ path: path.join(shots, 'dashboard-results.png'), fullPage: true });

    // the history: only the failures, then the failed attempt's log
    await page.select('#filters select[name=result]', 'failed');
    await page.click('#filters button[type=submit]');
    await page.waitForFunction(() => {
      const rows = [...document.querySelectorAll('#attempts tbody tr')];
      return rows.length === 1 && rows[0].cells[4].textContent === 'failed';
    });
    await page.click('#attempts tbody tr');
    await page.waitForFunction(() => !document.querySelector('#logview').hidden &&
                                     document.querySelector('#log').textContent.length > 0);
    await page.screenshot({ path: path.join(shots, 'dashboard-log.png'), fullPage: true });

    await page.setViewport({ width: 390, height: 844, isMobile: true });
    await page.screenshot({ path: path.join(shots, 'dashboard-phone.png'), fullPage: true });

    await page.setViewport({ width: 1366, height: 768 });
    await page.click('#stop');
    await page.waitForFunction(() => !document.querySelector('#start').disabled, { timeout: 30000 });
  } finally {
    await browser.close();
  }
  // a signal ends the service once every record is complete
  serve.kill('SIGTERM');
  const status = await until('the service to end', () => serve.exitCode !== null || serve.signalCode !== null, 30);
  if (serve.exitCode !== 143) fail('serve ended with ' + serve.exitCode + ' ' + serve.signalCode + ' (' + status + ')');
}

main().then(() => { stopAll(); if (!process.exitCode) console.log('dashboard: ok'); },
            (e) => { fail(e.stack || String(e)); stopAll(); });
