#include "photodupes/review_page.h"

namespace photodupes {

std::string reviewPage(const std::string& pageToken) {
  // The token is 32 hex digits (randomToken): nothing in it needs escaping.
  return R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width">
<meta name="page-token" content=")html" +
         pageToken + R"html(">
<title>photodupes review</title><link rel="stylesheet" href="/review.css"><script src="/review.js" defer></script>
</head><body>
<header>
<h1>Duplicate photos</h1>
<p id="summary" class="summary">Loading the groups&hellip;</p>
<p id="notice" class="notice" hidden></p>
<div class="actions">
<button id="move" type="button" disabled>Move to the Trash</button>
<button id="undo-trash" type="button" hidden>Undo</button>
<button id="undo-decision" type="button">Undo the last decision</button>
<button id="finish" type="button">Finish</button>
</div>
<p class="keys">Keys: <kbd>j</kbd>/<kbd>&darr;</kbd> next group, <kbd>k</kbd>/<kbd>&uarr;</kbd> previous,
<kbd>1</kbd>&ndash;<kbd>9</kbd> that photo is the keeper, <kbd>Shift</kbd>+number keep that photo too (mark),
<kbd>n</kbd> not duplicates, <kbd>u</kbd> undo the last decision, <kbd>p</kbd> larger preview of the keeper,
<kbd>Esc</kbd> close it. Decisions are saved as you make them.</p>
<nav id="pager"></nav>
</header>
<main id="groups"></main>
<div id="confirm" class="dialog" hidden><div class="box">
<p id="confirm-text"></p>
<button id="confirm-yes" type="button">Move</button> <button id="confirm-no" type="button">Cancel</button>
</div></div>
<div id="progress" class="dialog" hidden><div class="box"><p id="progress-text"></p>
<progress id="progress-bar" max="1" value="0"></progress>
<p><button id="progress-close" type="button" hidden>Close</button></p></div></div>
<div id="viewer" class="dialog" hidden><img id="viewer-img" alt=""><p id="viewer-name"></p></div>
</body></html>
)html";
}

const char* const kReviewStyle = R"css(
body{font:14px/1.35 system-ui,sans-serif;margin:0;background:#f4f4f2;color:#222}
header{padding:12px 24px;background:#fff;border-bottom:1px solid #ddd;position:sticky;top:0;z-index:2}
h1{font-size:20px;margin:0 0 4px}
.summary{font-size:16px;font-weight:600;margin:4px 0}
.notice{background:#fff3c4;padding:4px 8px;border-radius:4px}
.keys{color:#555;margin:4px 0;font-size:12px}
.actions button{margin-right:8px;font-size:14px;padding:4px 10px}
#move{font-weight:700}
main{padding:8px 24px}
.group{background:#fff;border:1px solid #ddd;border-radius:6px;margin:12px 0;padding:8px 12px}
.group.current{border-color:#2457b8;box-shadow:0 0 0 2px #2457b8}
.group.ignored{opacity:.55}
h2{font-size:15px;margin:4px 0 8px}
h2 button{font-size:12px;margin-left:8px}
.row{display:flex;gap:12px;overflow-x:auto;padding-bottom:4px}
figure{margin:0;width:180px;flex:none;border:2px solid transparent;border-radius:4px;padding:4px}
figure.keep{border-color:#2a8a3a;background:#eef8ef}
.thumb{display:flex;align-items:center;justify-content:center;width:172px;height:172px;background:#e6e6e6;cursor:zoom-in;border:0;padding:0}
.thumb img{max-width:172px;max-height:172px}
figcaption{font-size:12px;word-break:break-all;margin-top:4px}
figcaption button{font-size:11px;margin:2px 2px 0 0}
.tag{display:inline-block;font-weight:700;padding:0 4px;border-radius:3px;background:#ccc}
.keep .tag{background:#2a8a3a;color:#fff}
.num{display:inline-block;min-width:1.3em;text-align:center;border:1px solid #999;border-radius:3px;margin-right:4px}
nav button{min-width:2.2em;margin:2px}
nav button[aria-current]{font-weight:700}
.dialog{position:fixed;inset:0;z-index:10;background:rgba(0,0,0,.6);display:flex;align-items:center;justify-content:center}
.dialog[hidden]{display:none}
.box{background:#fff;padding:16px 24px;border-radius:6px;max-width:40em}
#viewer{flex-direction:column;color:#fff;background:rgba(0,0,0,.88)}
#viewer img{max-width:92vw;max-height:85vh}
progress{width:100%}
)css";

const char* const kReviewScript = R"js('use strict';
// Every name reaches the page through textContent, never as markup.
const pageToken = document.querySelector('meta[name="page-token"]').content;
const perPage = 50;
let data = null, cur = 0, version = '', busy = false;

const $ = id => document.getElementById(id);
function el(tag, props, ...kids) {
  const e = document.createElement(tag);
  if (props) for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v; else if (k === 'text') e.textContent = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v); else e.setAttribute(k, v);
  }
  for (const k of kids) if (k != null) e.append(k);
  return e;
}
async function post(path, body) {
  const r = await fetch(path, {method: 'POST', credentials: 'same-origin',
    headers: {'Content-Type': 'application/json', 'X-Photodupes-Page': pageToken},
    body: JSON.stringify(body || {})});
  const answer = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(answer.error || ('the server answered ' + r.status));
  return answer;
}
function notice(text) { const n = $('notice'); n.textContent = text; n.hidden = !text; }

// The page holds one page of groups (perPage of them) at a time: the
// server keeps them all and answers with the page asked for, so neither
// side handles thousands of groups per request. `cur` is the position of
// the current group among all of them.
const groupAt = i => data && i >= data.from && i < data.from + data.groups.length ? data.groups[i - data.from] : null;
const pageOf = i => Math.floor(i / perPage) * perPage;

// Loads the page holding the current group; with `keepKey`, the page
// holding that group wherever it went (a decision can move it), else the
// current position.
async function load(keepKey) {
  for (let attempt = 0; attempt < 2; ++attempt) {
    let q = '/api/groups?count=' + perPage + '&from=' + pageOf(cur);
    if (keepKey != null && attempt === 0) q += '&key=' + encodeURIComponent(keepKey);
    const r = await fetch(q, {credentials: 'same-origin'});
    if (!r.ok) { notice('The groups could not be read: ' + (await r.text())); return; }
    data = await r.json();
    version = data.version;
    if (data.at != null) cur = data.at;
    cur = Math.max(0, Math.min(cur, data.total - 1));
    if (groupAt(cur) || !data.total) break;  // else the groups shrank below the page asked for
  }
  render();
}

function pager() {
  const nav = $('pager');
  nav.replaceChildren();
  const pages = Math.max(1, Math.ceil(data.total / perPage)), page = Math.floor(cur / perPage);
  if (pages < 2) return;
  nav.append('Page ' + (page + 1) + ' of ' + pages + ': ');
  let last = -1;
  for (let p = 0; p < pages; ++p) {
    if (p > 1 && p < pages - 2 && Math.abs(p - page) > 4) continue;  // a few around this one, and the ends
    if (p !== last + 1) nav.append(' \u2026 ');
    last = p;
    const b = el('button', {type: 'button', text: String(p + 1), onclick: () => { cur = p * perPage; load(); }});
    if (p === page) b.setAttribute('aria-current', 'page');
    nav.append(b);
  }
}

function render() {
  const s = data.summary;
  $('summary').textContent = s.groups + ' groups, ' + s.not_kept + ' files to remove, ' + s.bytes_text + ' to free';
  const move = $('move');
  move.textContent = 'Move ' + s.not_kept + ' files (' + s.bytes_text + ') to the Trash';
  move.disabled = s.not_kept === 0 || busy;
  pager();
  const shown = data.groups.map((g, i) => groupView(g, data.from + i));
  if (!data.total) shown.push(el('p', {text: 'No duplicates left.'}));
  $('groups').replaceChildren(...shown);
  const c = document.getElementById('g' + cur);
  if (c) c.scrollIntoView({block: 'nearest'});
}

function groupView(g, gi) {
  const row = el('div', {class: 'row'});
  g.members.forEach((m, mi) => row.append(memberView(g, m, mi)));
  const head = el('h2', {text: (gi + 1) + '. ' + g.reason + ' duplicates, ' + g.members.length + ' files, ' +
      g.bytes_text + ' to free'},
    el('button', {type: 'button', text: 'Not duplicates', onclick: () => decide({action: 'not_duplicates', group: g.key})}));
  const sec = el('section', {class: 'group' + (gi === cur ? ' current' : ''), id: 'g' + gi, 'data-key': g.key},
      head, row);
  sec.addEventListener('click', () => { if (cur !== gi) { cur = gi; mark(); } });
  return sec;
}

function memberView(g, m, mi) {
  const tag = m.reason === 'keeper' ? 'keep' : m.reason === 'related' ? 'related, kept' :
      m.reason === 'kept' ? 'kept' : m.reason === 'exact' ? 'exact copy' : 'near';
  const why = m.reason === 'keeper' ? 'keeper' : m.reason === 'exact' ? 'same bytes as the keeper' :
      m.reason === 'kept' ? 'kept' : m.dist != null ? 'distance ' + m.dist.toFixed(3) + ', ' + m.bits + ' bits' : '';
  const img = el('img', {alt: m.name, loading: 'lazy', src: '/api/thumb/' + m.id});
  const thumb = el('button', {class: 'thumb', type: 'button', title: 'Larger preview', onclick: () => preview(m)}, img);
  const buttons = [];
  if (m.reason !== 'keeper') {
    buttons.push(el('button', {type: 'button', text: 'Keeper', onclick: () => decide({action: 'keeper', group: g.key, id: m.id})}));
    buttons.push(el('button', {type: 'button', text: m.keep ? 'Do not keep' : 'Keep too',
      onclick: () => decide({action: m.keep ? 'unkeep' : 'keep', group: g.key, id: m.id})}));
    buttons.push(el('button', {type: 'button', text: 'Not a duplicate',
      onclick: () => decide({action: 'not_duplicate', group: g.key, id: m.id})}));
  }
  buttons.push(el('button', {type: 'button', text: 'Keep this, trash the others',
    onclick: () => decide({action: 'keep_only', group: g.key, id: m.id})}));
  const cap = el('figcaption', null, el('span', {class: 'num', text: String(mi + 1)}),
    el('span', {class: 'tag', text: tag}), ' ', el('span', {class: 'name', text: m.name}), el('br'),
    el('span', {class: 'folder', text: m.folder}), el('br'),
    m.w + '\u00d7' + m.h + ' \u00b7 ' + m.bytes_text, el('br'), m.date, el('br'), why, el('br'), ...buttons);
  return el('figure', {class: m.keep ? 'keep' : '', 'data-id': String(m.id)}, thumb, cap);
}

function mark() {
  if (!groupAt(cur)) return load();  // on another page
  for (const s of document.querySelectorAll('section.group.current')) s.classList.remove('current');
  const c = document.getElementById('g' + cur);
  if (c) { c.classList.add('current'); c.scrollIntoView({block: 'nearest'}); }
}

const currentKey = () => groupAt(cur) ? groupAt(cur).key : null;

async function decide(d) {
  try {
    const key = currentKey();
    await post('/api/decide', d);
    await load(key);
  } catch (e) { notice('Not saved: ' + e.message); }
}

function preview(m) {
  const v = $('viewer'), img = $('viewer-img');
  img.src = '/api/preview/' + m.id + '?size=1600';
  img.alt = m.name;
  $('viewer-name').textContent = m.folder + '/' + m.name;
  v.hidden = false;
}
$('viewer').addEventListener('click', () => { $('viewer').hidden = true; });

async function runJob(path, what) {
  busy = true;
  $('move').disabled = true;
  const box = $('progress');
  $('progress-close').hidden = true;
  $('progress-text').textContent = what + '\u2026';
  $('progress-bar').value = 0;
  box.hidden = false;
  let job;
  try {
    await post(path);
    for (;;) {
      await new Promise(r => setTimeout(r, 150));
      job = await (await fetch('/api/job', {credentials: 'same-origin'})).json();
      if (job.total) {
        $('progress-bar').value = job.done / job.total;
        $('progress-text').textContent = what + ': ' + job.done + ' of ' + job.total;
      }
      if (!job.running) break;
    }
  } catch (e) { job = {result: {error: e.message}}; }
  busy = false;
  return job.result || {};
}

function listProblems(items) {
  return (items || []).map(s => '\n' + s.name + ': ' + s.reason).join('');
}

$('move').addEventListener('click', () => {
  const s = data.summary;
  $('confirm-text').textContent = 'Move ' + s.not_kept + ' files (' + s.bytes_text + ') to the Trash? ' +
      'Each is checked again first; Undo puts them back.';
  $('confirm').hidden = false;
  $('confirm-yes').focus();
});
$('confirm-no').addEventListener('click', () => { $('confirm').hidden = true; });
$('confirm-yes').addEventListener('click', async () => {
  $('confirm').hidden = true;
  const r = await runJob('/api/trash', 'Moving to the Trash');
  await load();
  $('progress-text').textContent = r.error ? 'The move failed: ' + r.error :
      'Moved ' + r.moved + ' files (' + r.bytes_text + ') to the Trash.' +
      (r.skipped && r.skipped.length ? ' Skipped ' + r.skipped.length + ':' + listProblems(r.skipped) : '');
  $('progress-close').hidden = false;
  $('undo-trash').hidden = !(r.moved > 0);
  $('undo-trash').textContent = 'Undo: put the ' + r.moved + ' files back';
});
$('undo-trash').addEventListener('click', async () => {
  const r = await runJob('/api/undo-trash', 'Putting the files back');
  await load();
  $('progress-text').textContent = r.error ? 'Undo failed: ' + r.error :
      'Put back ' + r.restored + ' files.' +
      (r.failed && r.failed.length ? ' Not put back:' + listProblems(r.failed) : '');
  $('progress-close').hidden = false;
  $('undo-trash').hidden = true;
});
$('progress-close').addEventListener('click', () => { $('progress').hidden = true; });
$('undo-decision').addEventListener('click', () => undoDecision());
async function undoDecision() {
  try {
    const key = currentKey();
    await post('/api/undo-decision');
    await load(key);
  } catch (e) { notice('Nothing undone: ' + e.message); }
}
$('finish').addEventListener('click', async () => {
  clearInterval(poll);
  try { await post('/api/finish'); } catch (e) {}
  document.body.replaceChildren(el('p', {class: 'summary', text: 'Finished: you can close this page.'}));
});

document.addEventListener('keydown', e => {
  if (!data || e.ctrlKey || e.metaKey || e.altKey) return;
  if (e.key === 'Escape') { $('viewer').hidden = true; $('confirm').hidden = true; return; }
  if (!$('confirm').hidden || !$('progress').hidden) return;
  const g = groupAt(cur);
  const digit = /^Digit([1-9])$/.exec(e.code);
  if (e.key === 'j' || e.key === 'ArrowDown') { cur = Math.max(0, Math.min(cur + 1, data.total - 1)); mark(); }
  else if (e.key === 'k' || e.key === 'ArrowUp') { cur = Math.max(cur - 1, 0); mark(); }
  else if (digit && g) {
    const m = g.members[Number(digit[1]) - 1];
    if (!m) return;
    if (e.shiftKey) decide({action: m.keep ? 'unkeep' : 'keep', group: g.key, id: m.id});
    else if (m.reason !== 'keeper') decide({action: 'keeper', group: g.key, id: m.id});
  }
  else if (e.key === 'n' && g) decide({action: 'not_duplicates', group: g.key});
  else if (e.key === 'u') undoDecision();
  else if (e.key === 'p' && g) preview(g.members[0]);
  else return;
  e.preventDefault();
});

// A scan, a move or an undo in another terminal changes the catalog: the
// page asks for its stamp every few seconds and shows the groups again.
const poll = setInterval(async () => {
  if (busy || !data) return;
  try {
    const r = await (await fetch('/api/version', {credentials: 'same-origin'})).json();
    if (r.version !== version) {
      await load(currentKey());
      notice('The catalog changed (a scan, a move or an undo ran): the groups are shown as they are now.');
    }
  } catch (e) {}
}, 3000);

load().then(() => { document.body.dataset.ready = '1'; });
)js";

}  // namespace photodupes
