// Drives `photodupes review` in headless Chromium as a user would, and
// records what the page showed and what the disk held after each step, as
// one JSON object on standard output. The test that starts it
// (review_browser_test.cc) makes the library and judges the record.
//
// node review_browser.js CONFIG.json, the config holding: modules (the
// node_modules folder with puppeteer-core), chromium, profile, photodupes,
// library, env (extra environment of photodupes), trash (the home Trash).
'use strict';
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const {spawn} = require('child_process');

const cfg = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const puppeteer = require(path.join(cfg.modules, 'puppeteer-core'));
const record = {steps: [], dialogs: [], errors: []};

function walk(dir, out = {}) {
  for (const e of fs.readdirSync(dir, {withFileTypes: true})) {
    const p = path.join(dir, e.name);
    if (e.isDirectory()) walk(p, out);
    else out[path.relative(cfg.library, p)] = {
      sha: crypto.createHash('sha256').update(fs.readFileSync(p)).digest('hex'),
      mtime: fs.statSync(p, {bigint: true}).mtimeNs.toString(),
    };
  }
  return out;
}
function trash() {
  const files = path.join(cfg.trash, 'files'), info = path.join(cfg.trash, 'info');
  const out = {files: {}, infos: {}};
  if (fs.existsSync(files)) for (const n of fs.readdirSync(files))
    out.files[n] = crypto.createHash('sha256').update(fs.readFileSync(path.join(files, n))).digest('hex');
  if (fs.existsSync(info)) for (const n of fs.readdirSync(info))
    out.infos[n] = fs.readFileSync(path.join(info, n), 'utf8');
  return out;
}
// The groups as the page shows them: per group, its members in order.
async function shown(page) {
  return page.$$eval('section.group', secs => secs.map(s => ({
    key: s.dataset.key,
    members: [...s.querySelectorAll('figure')].map(f => ({
      id: Number(f.dataset.id),
      path: f.querySelector('.folder').textContent + '/' + f.querySelector('.name').textContent,
      keep: f.classList.contains('keep'),
    })),
  })));
}
async function step(name, page, extra = {}) {
  record.steps.push({name, groups: await shown(page), library: walk(cfg.library), trash: trash(), ...extra});
}
// Waits until the page has loaded the groups again after a change.
async function changed(page, before) {
  await page.waitForFunction(b => JSON.stringify([...document.querySelectorAll('figure')]
      .map(f => f.dataset.id + f.className)) !== b, {timeout: 20000}, before);
}
const figures = page => page.$$eval('figure', fs => JSON.stringify(fs.map(f => f.dataset.id + f.className)));

(async () => {
  const server = spawn(cfg.photodupes, ['review', '--library', cfg.library, '--no-browser'],
      {env: {...process.env, ...cfg.env}, stdio: ['ignore', 'pipe', 'inherit']});
  let text = '';
  const address = await new Promise((resolve, reject) => {
    server.stdout.on('data', d => {
      text += d;
      const m = /http:\/\/127\.0\.0\.1:\d+\/\?t=[0-9a-f]{32}/.exec(text);
      if (m) resolve(m[0]);
    });
    server.on('exit', code => reject(new Error('photodupes review ended with ' + code + ': ' + text)));
  });
  const ended = new Promise(resolve => server.on('exit', code => resolve(code)));
  const browser = await puppeteer.launch({
    executablePath: cfg.chromium, headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--user-data-dir=' + cfg.profile],
  });
  try {
    const page = await browser.newPage();
    page.on('dialog', d => { record.dialogs.push(d.message()); d.dismiss(); });
    page.on('pageerror', e => record.errors.push(String(e)));
    await page.goto(address);
    await page.waitForSelector('body[data-ready="1"]', {timeout: 60000});
    record.url = page.url();
    record.injected = await page.$$eval('img:not([src^="/api/"]):not(#viewer-img), script:not([src])', e => e.length);
    await step('loaded', page);

    // Group 1: its second photo becomes the keeper, by keyboard.
    let before = await figures(page);
    await page.keyboard.press('Digit2');
    await changed(page, before);
    await step('keeper', page);

    // Group 2: not duplicates.
    await page.keyboard.press('j');
    before = await figures(page);
    await page.keyboard.press('n');
    await changed(page, before);
    await step('ignored', page);

    // Move to the Trash, confirm, wait for the result.
    record.moveButton = await page.$eval('#move', b => b.textContent);
    await page.click('#move');
    record.confirm = await page.$eval('#confirm-text', p => p.textContent);
    await page.click('#confirm-yes');
    await page.waitForSelector('#progress-close:not([hidden])', {timeout: 60000});
    record.moved = await page.$eval('#progress-text', p => p.textContent);
    await step('moved', page);

    await page.click('#progress-close');
    await page.click('#undo-trash');
    await page.waitForSelector('#progress-close:not([hidden])', {timeout: 60000});
    record.undone = await page.$eval('#progress-text', p => p.textContent);
    await step('undone', page);

    await page.click('#progress-close');
    await page.click('#finish');
    record.exit = await Promise.race([ended, new Promise(r => setTimeout(() => r('still running'), 10000))]);
  } finally {
    await browser.close();
    server.kill();
  }
  process.stdout.write(JSON.stringify(record) + '\n');
})().catch(e => {
  process.stdout.write(JSON.stringify({...record, failure: String(e && e.stack || e)}) + '\n');
  process.exit(1);
});
