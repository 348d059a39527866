// The KIVPXE operator console: draws the server's main window from its Server-Sent Events and
// sends every command to the server, which checks and runs it on its main thread.
'use strict';

// The token comes with the URL the server printed; it is kept for reloads of this tab only and
// taken out of the address bar.
const token = new URLSearchParams(location.search).get('token') || sessionStorage.getItem('kiv_token') || '';
sessionStorage.setItem('kiv_token', token);
if (location.search) history.replaceState(null, '', '/');
const $ = (sel, root = document) => root.querySelector(sel);
const $$ = (sel, root = document) => [...root.querySelectorAll(sel)];

let messages = { en: [], zh: [] };
let state = null;
let rows = [];
let selectedRow = 0;       // row number from 1, 0 when none
let lastFields = {};       // the server's last field values: a field follows them only when they change
const openDialogs = new Set();

function T(n) { return (messages[state ? state.language : 'en'] || [])[n] || ''; }
function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') node.className = v;
    else if (k === 'text') node.textContent = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v === true) node.setAttribute(k, '');
    else if (v !== false && v != null) node.setAttribute(k, v);
  }
  for (const c of children) node.append(c);
  return node;
}
function notice(text) {
  const n = $('#notice');
  n.textContent = text; n.hidden = false;
  clearTimeout(notice.timer);
  notice.timer = setTimeout(() => { n.hidden = true; }, 4000);
}

// ---- The API. A command that shows prompts replies once they are answered.
async function cmd(name, args = {}) {
  const res = await fetch('/api/cmd/' + name, {
    method: 'POST', headers: { 'Authorization': 'Bearer ' + token, 'Content-Type': 'application/json' },
    body: JSON.stringify(args),
  });
  const body = await res.json().catch(() => ({ ok: false }));
  if (res.status === 409) notice(body.error || 'busy');
  return body;
}
async function get(path) {
  const res = await fetch(path, { headers: { 'Authorization': 'Bearer ' + token } });
  return res.json();
}

// ---- Captions in the current language.
function caption() {
  for (const node of $$('[data-msg]')) node.textContent = T(+node.dataset.msg).replace(/\r\n/g, '\n');
  document.documentElement.lang = state && state.language === 'zh' ? 'zh-CN' : 'en';
}

// ---- The main window.
function drawState() {
  const s = state;
  document.title = s.title;
  $('#banner').textContent = s.banner;
  $('#btn-start').disabled = s.running;
  $('#btn-stop').disabled = !s.running;
  for (const id of ['#f-ip', '#f-count', '#f-source', '#btn-browse', '#btn-srvcfg']) $(id).disabled = s.running;
  $('#state-icon').src = s.running ? '/assets/running.svg' : '/assets/idle.svg';
  $('#btn-start img').src = '/assets/start.svg';
  const picture = $('#os-picture');
  const src = '/api/osimage?type=' + encodeURIComponent(s.osType);
  if (picture.getAttribute('src') !== src) picture.src = src;
  $('#install-label').textContent = s.installLabel.replace(/\r\n/g, '\n');
  const f = s.fields;
  for (const [key, id] of [['ip', '#f-ip'], ['count', '#f-count'], ['source', '#f-source']]) {
    if (lastFields[key] !== f[key]) $(id).value = f[key];
  }
  lastFields = { ...f };
  $('#history').replaceChildren(...f.history.map(p => el('option', { value: p })));
  const m = s.menu;
  const checks = { '#mi-dhcponly': m.dhcpOnlyPxe, '#mi-zelvm': m.zelVmFilter, '#mi-autostart': m.autoStart,
    '#mi-isofile': m.isoFile, '#mi-directory': !m.isoFile, '#mi-chinese': m.chinese, '#mi-english': !m.chinese,
    '#mi-auto': m.autoInstall, '#mi-manual': !m.autoInstall };
  for (const [id, on] of Object.entries(checks)) $(id).setAttribute('aria-checked', on ? 'true' : 'false');
  for (const b of $$('[data-idle-only]')) b.disabled = !m.idleOnly;
  caption();
  drawProgress(s.progress);
  drawPrompt(s.prompt);
  // The start check's extraction opens the dialog, filled in, wherever the operator is.
  const x = s.extract || {};
  if (x.startWaits && x.running && !openDialogs.has('extract')) extractDialog(x.iso, x.destination);
  if (openDialogs.has('extract')) drawExtract();
}

// ---- The client grid. Each client keeps its own <tr> (by row number); the server sends only the
// rows that changed, and they are applied once per animation frame: with hundreds of clients
// changing several times a second the page touches only those cells. Rows are reordered only
// when a sort or filter is set and the order really changed.
const grid = { trs: [], fillers: [], order: [], dirty: new Set(), reorder: true, frame: 0, sortKey: '', sortDir: 1, filter: '' };

function scheduleRows() { if (!grid.frame) grid.frame = requestAnimationFrame(flushRows); }
function drawRows() { grid.reorder = true; scheduleRows(); }

function newRowElement() {
  const tr = document.createElement('tr');
  tr.tabIndex = -1;
  tr.innerHTML = '<td></td><td></td><td class="cell-status"><div class="bar"></div><span></span></td>';
  return tr;
}
function fillRow(tr, r) {
  tr.cells[0].textContent = r.ip;
  tr.cells[1].textContent = r.mac;
  tr.cells[2].lastChild.textContent = r.status;
  tr.cells[2].title = r.status;
  tr.cells[2].firstChild.style.width = r.progress >= 0 ? Math.min(100, r.progress) + '%' : '0';
  tr.classList.toggle('finished', !!r.finished);
}
function ipNumber(ip) { return ip.split('.').reduce((a, b) => a * 256 + (+b || 0), 0); }
function compareRows(a, b) {
  const k = grid.sortKey;
  let c = 0;
  if (k === 'ip') c = ipNumber(a.ip) - ipNumber(b.ip);
  else if (k) c = a[k].localeCompare(b[k]);
  return c * grid.sortDir || a.n - b.n;
}
function rowMatches(r, words) {
  const text = (r.ip + ' ' + r.mac + ' ' + r.mac.replace(/-/g, ':') + ' ' + r.status).toLowerCase();
  return words.every(w => text.includes(w));
}
// Row numbers in the order shown: filtered, then sorted (row number breaks ties).
function shownOrder() {
  const words = grid.filter.toLowerCase().split(/\s+/).filter(Boolean);
  let list = rows.filter(r => r && (!words.length || rowMatches(r, words)));
  if (grid.sortKey) list = list.sort(compareRows);
  return list.map(r => r.n);
}
function flushRows() {
  grid.frame = 0;
  const body = $('#grid tbody');
  while (grid.trs.length > rows.length) { grid.trs.pop().remove(); grid.reorder = true; }
  for (const n of grid.dirty) {
    const r = rows[n - 1];
    if (!r) continue;
    if (!grid.trs[n - 1]) { grid.trs[n - 1] = newRowElement(); grid.trs[n - 1].dataset.row = n; grid.reorder = true; }
    fillRow(grid.trs[n - 1], r);
  }
  // A changed status or address can move a row when the grid is sorted or filtered.
  if (grid.dirty.size && (grid.sortKey || grid.filter)) grid.reorder = true;
  grid.dirty.clear();
  if (grid.reorder) {
    grid.reorder = false;
    const order = shownOrder();
    const same = order.length === grid.order.length && order.every((n, i) => n === grid.order[i]);
    if (!same) {
      const shown = new Set(order);
      grid.order.forEach(n => { if (!shown.has(n) && grid.trs[n - 1]) grid.trs[n - 1].remove(); });
      // Only rows out of place move, so that a focused row mostly stays where it is.
      let at = body.firstChild;
      for (const n of order) {
        const tr = grid.trs[n - 1];
        if (tr === at) at = at.nextSibling; else body.insertBefore(tr, at);
      }
      grid.order = order;
    }
    // Empty lines fill the grid's height, as in the window.
    const fill = Math.max(20, order.length + 1) - order.length;
    while (grid.fillers.length < fill) { const tr = newRowElement(); grid.fillers.push(tr); }
    while (grid.fillers.length > fill) grid.fillers.pop().remove();
    for (const tr of grid.fillers) body.append(tr);
    $('#grid-count').textContent = order.length === rows.length ? String(rows.length) : order.length + ' / ' + rows.length;
  }
  markSelection();
  if (overviewDirty) drawOverview();
}
// One tab stop for the grid: the selected row, or the first shown; the arrow keys move from there.
function markSelection() {
  const first = grid.order[0];
  const tabRow = grid.trs[selectedRow - 1] && grid.order.includes(selectedRow) ? selectedRow : first;
  for (const tr of $$('#grid tbody tr.selected, #grid tbody tr[tabindex="0"]')) { tr.classList.remove('selected'); tr.tabIndex = -1; }
  if (tabRow && grid.trs[tabRow - 1]) grid.trs[tabRow - 1].tabIndex = 0;
  if (selectedRow && grid.trs[selectedRow - 1]) grid.trs[selectedRow - 1].classList.add('selected');
}
function selectRow(n) { selectedRow = n; markSelection(); }
function sortBy(key) {
  if (grid.sortKey !== key) { grid.sortKey = key; grid.sortDir = 1; }
  else if (grid.sortDir === 1) grid.sortDir = -1;
  else grid.sortKey = '';
  for (const th of $$('#grid th')) {
    th.setAttribute('aria-sort', th.dataset.sort === grid.sortKey ? (grid.sortDir === 1 ? 'ascending' : 'descending') : 'none');
  }
  drawRows();
}
// ---- The overview above the grid, drawn in the same frame as the rows.
let overview = null, overviewDirty = false;
function rate(bytes) {
  const units = ['B/s', 'KB/s', 'MB/s', 'GB/s'];
  let i = 0;
  while (bytes >= 1024 && i < units.length - 1) { bytes /= 1024; i++; }
  return (i ? bytes.toFixed(1) : String(bytes)) + ' ' + units[i];
}
function drawOverview() {
  overviewDirty = false;
  const o = overview;
  for (const node of $$('#overview .phase')) node.lastElementChild.textContent = String(o.phases[node.dataset.phase] || 0);
  $('#ov-tftp').textContent = rate(o.tftpBps);
  $('#ov-http').textContent = rate(o.httpBps);
  const canvas = $('#ov-spark'), g = canvas.getContext('2d');
  g.clearRect(0, 0, canvas.width, canvas.height);
  const max = Math.max(1, ...o.spark.map(([t, h]) => t + h));
  // Three minutes of one-second samples across the canvas, the newest at the right edge.
  const x = (i) => canvas.width * (i + 180 - o.spark.length) / 180;
  for (const [k, color] of [[0, '#1a4fb4'], [1, '#2e7d32']]) {
    g.strokeStyle = color;
    g.beginPath();
    o.spark.forEach((s, i) => {
      const y = canvas.height - 1 - (s[k] / max) * (canvas.height - 2);
      if (i) g.lineTo(x(i), y); else g.moveTo(x(i), y);
    });
    g.stroke();
  }
}
function onOverview(o) { overview = o; overviewDirty = true; scheduleRows(); }

function onRowsSnapshot(list) {
  rows = list;
  rows.forEach((r, i) => grid.dirty.add(i + 1));
  drawRows();
}
function onRowChanged(r) {
  rows[r.n - 1] = r;
  grid.dirty.add(r.n);
  scheduleRows();
}
function onRowCount(count) {
  if (rows.length !== count) { rows.length = count; drawRows(); }
}

function drawProgress(p) {
  const panel = $('#progress-panel');
  panel.hidden = !p;
  if (!p) return;
  $('#progress-title').textContent = p.title;
  $('#progress-bar').max = Math.max(1, p.total);
  $('#progress-bar').value = p.done;
  $('#progress-text').textContent = p.text;
}

// ---- Modal prompts published by the server.
let shownPrompt = 0;
function drawPrompt(p) {
  const dlg = $('#prompt');
  if (!p) {
    if (dlg.open) dlg.close();
    shownPrompt = 0;
    return;
  }
  if (shownPrompt === p.id) return;
  shownPrompt = p.id;
  const answer = async (body) => {
    await fetch('/api/prompt/' + p.id, { method: 'POST', body: JSON.stringify(body),
      headers: { 'Authorization': 'Bearer ' + token, 'Content-Type': 'application/json' } });
  };
  const buttons = el('div', { class: 'buttons' });
  let content;
  if (p.kind === 'message') {
    const glyph = { error: '\u26D4', warning: '\u26A0', information: '\u2139', none: '' }[p.icon];
    content = el('div', { class: 'body' }, el('span', { class: 'icon ' + p.icon, 'aria-hidden': 'true', text: glyph }),
      el('div', { id: 'prompt-text', text: p.text.replace(/\r\n/g, '\n') }));
    const labels = p.buttons === 'yesno' ? [['yes', zh() ? '是' : 'Yes'], ['no', zh() ? '否' : 'No']] : [['ok', T(0)]];
    for (const [value, label] of labels) {
      const b = el('button', { id: 'prompt-' + value, text: label, onclick: () => answer({ answer: value }) });
      buttons.append(b);
      if (value === p.default) setTimeout(() => b.focus());
    }
  } else if (p.kind === 'choice') {
    const list = listBox(p.items, Math.max(0, p.default));
    content = el('div', { class: 'body' }, list.node);
    buttons.append(el('button', { id: 'prompt-ok', text: T(0), onclick: () => answer({ index: list.index() }) }),
                   el('button', { id: 'prompt-cancel', text: T(1), onclick: () => answer({ index: -1 }) }));
  } else {
    const user = el('input', { id: 'prompt-user', value: p.user, autocomplete: 'off' });
    const pass = el('input', { id: 'prompt-password', type: 'password', autocomplete: 'off' });
    content = el('div', { class: 'body' }, el('div', { text: p.prompt }),
      el('div', { class: 'row' }, el('label', { for: 'prompt-user', text: zh() ? '用户名' : 'User' }), user),
      el('div', { class: 'row' }, el('label', { for: 'prompt-password', text: zh() ? '密码' : 'Password' }), pass));
    buttons.append(el('button', { id: 'prompt-ok', text: T(0), onclick: () => answer({ ok: true, user: user.value, password: pass.value }) }),
                   el('button', { id: 'prompt-cancel', text: T(1), onclick: () => answer({ ok: false }) }));
  }
  dlg.replaceChildren(el('h2', { text: p.caption || p.title || state.title }), content, buttons);
  dlg.oncancel = (e) => e.preventDefault();   // a message box closes through its buttons only
  if (!dlg.open) dlg.showModal();
}

// ---- A list box: options selected by click or the arrow keys.
function listBox(items, selected = 0, onselect = () => {}) {
  const node = el('div', { class: 'list', role: 'listbox', tabindex: '0' });
  let index = items.length ? Math.min(selected, items.length - 1) : -1;
  const draw = () => {
    node.replaceChildren(...items.map((text, i) => el('div', { role: 'option', 'aria-selected': i === index ? 'true' : 'false',
      text, onclick: () => { index = i; draw(); onselect(i); } })));
  };
  node.addEventListener('keydown', (e) => {
    if (e.key === 'ArrowDown' && index < items.length - 1) index++;
    else if (e.key === 'ArrowUp' && index > 0) index--;
    else return;
    e.preventDefault(); draw(); onselect(index);
  });
  draw();
  return { node, index: () => index, set: (list, i) => { items = list; index = list.length ? Math.max(0, Math.min(i, list.length - 1)) : -1; draw(); }, items: () => items };
}

// ---- Dialogs. A dialog whose command is run again while it is open stays as it is.
function dialog(key, title, body, buttons, slot = '#dialog') {
  const dlg = $(slot);
  dlg.replaceChildren(el('h2', { text: title }), el('div', { class: 'body' }, ...body), el('div', { class: 'buttons' }, ...buttons));
  dlg.dataset.key = key;
  openDialogs.add(key);
  dlg.onclose = () => openDialogs.delete(key);
  dlg.showModal();
  return dlg;
}
const closeDialog = (slot = '#dialog') => $(slot).close();
const okCancel = (onOk, slot = '#dialog') => [
  el('button', { id: 'dlg-ok', text: T(0), onclick: onOk }),
  el('button', { id: 'dlg-cancel', text: T(1), onclick: () => closeDialog(slot) })];
const row = (label, ...controls) => el('div', { class: 'row' }, el('label', { text: label }), ...controls);
const input = (id, value, attrs = {}) => el('input', { id, value: value ?? '', autocomplete: 'off', spellcheck: 'false', ...attrs });
const check = (id, on, label, onchange) => {
  const box = el('input', { id, type: 'checkbox', onchange });
  box.checked = !!on;
  return el('label', {}, box, ' ' + label);
};
const val = (id) => $('#' + id).value;
const checked = (id) => $('#' + id).checked;
const num = (id) => { const v = $('#' + id).value.trim(); return /^-?\d+$/.test(v) ? Number(v) : v; };

// ---- File and folder choosers over the server's file system.
function choose(title, { dirs = false, suffix = '', start = '' } = {}) {
  return new Promise((resolve) => {
    const dlg = $('#chooser');
    const pathField = input('chooser-path', '');
    const list = el('div', { class: 'list', role: 'listbox', tabindex: '0', id: 'chooser-list' });
    let current = '', entries = [], index = -1;
    const load = async (path) => {
      const r = await get('/api/fs?path=' + encodeURIComponent(path) + (dirs ? '&dirs=1' : '') + '&suffix=' + encodeURIComponent(suffix));
      if (r.error) { notice(r.error); return; }
      current = r.path; pathField.value = r.path;
      entries = [{ name: '..', dir: true, path: r.parent }, ...r.entries.map(e => ({ ...e, path: r.path.replace(/\/$/, '') + '/' + e.name }))];
      index = -1; draw();
    };
    const draw = () => list.replaceChildren(...entries.map((e, i) => el('div', { role: 'option', 'aria-selected': i === index ? 'true' : 'false',
      text: (e.dir ? '\uD83D\uDCC1 ' : '') + e.name, onclick: () => { index = i; draw(); }, ondblclick: () => open(i) })));
    const open = (i) => { const e = entries[i]; if (!e) return; if (e.dir) load(e.path); else finish(e.path); };
    list.addEventListener('keydown', (e) => {
      if (e.key === 'ArrowDown' && index < entries.length - 1) index++;
      else if (e.key === 'ArrowUp' && index > 0) index--;
      else if (e.key === 'Enter') { open(index); e.preventDefault(); return; }
      else return;
      e.preventDefault(); draw();
    });
    pathField.addEventListener('keydown', (e) => { if (e.key === 'Enter') { e.preventDefault(); load(pathField.value); } });
    const finish = (path) => { dlg.close(); resolve(path); };
    const select = () => {
      const e = entries[index];
      if (dirs) finish(e && e.dir && e.name !== '..' ? e.path : current);
      else if (e && !e.dir) finish(e.path);
      else if (e) load(e.path);
      else if (pathField.value !== current) finish(pathField.value);
    };
    dlg.replaceChildren(el('h2', { text: title }), el('div', { class: 'body' }, pathField, list),
      el('div', { class: 'buttons' }, el('button', { id: 'chooser-ok', text: T(6), onclick: select }),
        el('button', { id: 'chooser-cancel', text: T(1), onclick: () => { dlg.close(); resolve(null); } })));
    dlg.oncancel = () => resolve(null);
    dlg.showModal();
    load(start);
  });
}
const zh = () => state.language === 'zh';

// ---- The commands of the main window.
const fields = () => ({ ip: val('f-ip'), count: num('f-count'), source: val('f-source') });

async function browseSource() {
  if ((await cmd('fields', fields())).ok === false) return;
  const iso = state.menu.isoFile;
  const path = await choose(iso ? (zh() ? '打开ISO镜像文件' : 'Open ISO File') : (zh() ? '打开镜像目录' : 'Open Image Directory'),
    { dirs: !iso, suffix: iso ? '.iso' : '', start: dirname(val('f-source')) });
  if (path) await cmd('chooseSource', { path });
}
function dirname(p) { return p && p.includes('/') ? p.slice(0, p.lastIndexOf('/')) || '/' : ''; }

const menuCommands = {
  macFilter: macFilterDialog, extBoot: extBootDialog, winKey: winKeyDialog, nfs: nfsDialog,
  modeAuto: () => cmd('installMode', { auto: true }), modeManual: () => cmd('installMode', { auto: false }),
  kindIso: () => cmd('sourceKind', { iso: true }), kindDir: () => cmd('sourceKind', { iso: false }),
  baseDriver: baseDriverDialog, plugins: pluginsDialog, extract: () => extractDialog(),
  openLog: async () => { const r = await cmd('openLog'); textDialog('openLog', r.path, r.text); },
  logConfig: logConfigDialog, flushLog: () => cmd('flushLog'),
  deleteLog: async () => { const r = await cmd('deleteLog'); if (r.ok) notice(`${T(51)}: ${r.count}`); },
  langZh: () => cmd('language', { zh: true }), langEn: () => cmd('language', { zh: false }),
  about: aboutDialog,
};

function textDialog(key, title, text) {
  dialog(key, title, [el('pre', { id: 'text-view', text: text || '' })], [el('button', { id: 'dlg-ok', text: T(0), onclick: () => closeDialog() })]);
}

function aboutDialog() {
  if (openDialogs.has('about')) return;
  cmd('about').then(r => dialog('about', zh() ? '关于 ORV' : 'About ORV',
    [el('div', { class: 'row' }, el('img', { src: '/assets/kiv.svg', width: 32, height: 32, alt: '' }), el('strong', { id: 'about-text', text: r.text }))],
    [el('button', { id: 'dlg-ok', text: T(0), onclick: () => closeDialog() })]));
}

async function serverConfigDialog() {
  if (openDialogs.has('serverConfig')) return;
  const d = await cmd('serverConfig.get');
  let loader = d.loader;
  let lists = d.bootLists;
  const bootSelect = el('select', { id: 'sc-bootfile' });
  const fillBoot = (index) => {
    bootSelect.replaceChildren(...lists[loader].files.map((f, i) => el('option', { value: i, text: f })));
    bootSelect.value = index;
    bootSelect.disabled = loader !== 0;
  };
  const radios = ['PXELINUX', 'GRUB2', 'iPXE'].map((name, i) => {
    const r = el('input', { type: 'radio', name: 'sc-loader', id: 'sc-loader-' + i, onchange: () => {
      if (loader !== i) { loader = i; fillBoot(lists[i].index); }
    } });
    r.checked = i === loader;
    return el('label', {}, r, ' ' + name);
  });
  const blocks = el('select', { id: 'sc-bcd' }, ...['1408', '2048', '4096', '8192', '16384'].map((t, i) => el('option', { value: i, text: t })));
  blocks.value = d.bcdBlock;
  const syncCopy = () => { $('#sc-mask').disabled = checked('sc-copyhost'); $('#sc-gateway').disabled = checked('sc-xxx1'); };
  dialog('serverConfig', T(94), [
    el('fieldset', {}, el('legend', { text: T(95) }),
      row(T(102), input('sc-mask', d.mask)), row(T(103), input('sc-gateway', d.gateway)),
      el('div', { class: 'row' }, check('sc-copyhost', d.copyHost, T(104), syncCopy), check('sc-xxx1', d.xxx1, 'XXXX.1', syncCopy)),
      row('DNS', input('sc-dns', d.dns, { placeholder: 'A[,B,C]' })), row('Domain', input('sc-domain', d.domain)),
      el('div', { class: 'row' }, check('sc-proxy', d.proxy, 'proxyDHCP'), check('sc-relay', d.relay, 'Relay'),
        check('sc-ipv6ra', d.ipv6Ra, 'IPv6: no router'))),
    el('fieldset', {}, el('legend', { text: T(98) }), el('div', { class: 'row' }, ...radios),
      row(T(105), bootSelect), row(T(106), input('sc-disk', d.disk))),
    el('fieldset', {}, el('legend', { text: T(96) }),
      row(T(107), input('sc-timeout', d.tftpTimeout, { size: 6 })), row(T(108), input('sc-retrans', d.retransmit, { size: 6 })),
      el('div', { class: 'row' }, check('sc-single', d.singlePort, T(109))), row('BCD Block', blocks)),
    el('fieldset', {}, el('legend', { text: T(97) }), row(T(110), input('sc-port', d.httpPort, { size: 6 })),
      el('div', { class: 'row' }, check('sc-httpdisk', d.httpDisk, 'Windows source as HTTP disk (needs the httpdisk driver builds)'))),
    el('fieldset', {}, el('legend', { text: T(99) }),
      row(T(100), input('sc-menutimeout', d.menuTimeout, { size: 6 })), row(T(101), input('sc-keytimeout', d.keyTimeout, { size: 6 }))),
    el('fieldset', {}, el('legend', { text: 'Installed systems' }), row('Root password', input('sc-rootpw', d.rootPassword))),
  ], okCancel(async () => {
    const r = await cmd('serverConfig.apply', { mask: val('sc-mask'), gateway: val('sc-gateway'), copyHost: checked('sc-copyhost'),
      xxx1: checked('sc-xxx1'), dns: val('sc-dns').trim(), domain: val('sc-domain').trim(), proxy: checked('sc-proxy'), relay: checked('sc-relay'), ipv6Ra: checked('sc-ipv6ra'), loader, bootIndex: Number(bootSelect.value || 0), disk: val('sc-disk').trim(),
      tftpTimeout: num('sc-timeout'), retransmit: num('sc-retrans'), singlePort: checked('sc-single'), bcdBlock: Number(blocks.value),
      httpPort: num('sc-port'), httpDisk: checked('sc-httpdisk'), menuTimeout: num('sc-menutimeout'), keyTimeout: num('sc-keytimeout'),
      rootPassword: val('sc-rootpw') });
    if (r.ok) closeDialog();
  }));
  fillBoot(d.bootIndex);
  syncCopy();
}

async function nfsDialog() {
  if (openDialogs.has('nfs')) return;
  const d = await cmd('nfs.get');
  dialog('nfs', T(70), [row(T(71), input('nfs-url', d.url, { size: 48 })), el('div', { class: 'hint', text: T(73).replace(/\r\n/g, '\n') })],
    okCancel(async () => { if ((await cmd('nfs.apply', { url: val('nfs-url') })).ok) closeDialog(); }));
}

async function extBootDialog() {
  if (openDialogs.has('extBoot')) return;
  const d = await cmd('extBoot.get');
  const select = el('select', { id: 'eb-os' }, ...d.records.map((r, i) => el('option', { value: i, text: r.name })));
  const show = () => {
    const r = d.records[+select.value];
    if (!r) return;
    $('#eb-active').checked = r.active;
    $('#eb-legacy').value = r.legacy; $('#eb-uefi').value = r.uefi;
    $('#eb-legacy').readOnly = $('#eb-uefi').readOnly = !r.active;
  };
  select.addEventListener('change', show);
  dialog('extBoot', T(40), [
    el('fieldset', {}, el('legend', { text: T(3) }), row(T(5).trim(), select),
      el('div', { class: 'row' }, check('eb-active', false, T(69), async () => {
        const r = d.records[+select.value];
        if (!r) return;
        r.active = checked('eb-active');
        await cmd('extBoot.active', { index: +select.value, active: r.active });
        show();
      }))),
    el('fieldset', {}, el('legend', { text: T(3) }), row('Legacy', input('eb-legacy', '', { size: 48 })), row('UEFI', input('eb-uefi', '', { size: 48 }))),
  ], okCancel(async () => {
    if (!d.records.length) { closeDialog(); return; }
    const r = await cmd('extBoot.apply', { index: +select.value, legacy: val('eb-legacy'), uefi: val('eb-uefi') });
    if (r.ok) closeDialog();
  }));
  select.value = d.selected;
  show();
}

async function winKeyDialog() {
  if (openDialogs.has('winKey')) return;
  const d = await cmd('winKey.get');
  const sync = () => { $('#wk-key').disabled = !checked('wk-enable'); };
  dialog('winKey', T(53), [
    el('fieldset', {}, el('legend', { text: T(146) }), el('div', { class: 'hint', text: [T(147), T(148), T(149)].join('\n') })),
    row(T(150), input('wk-key', d.key, { maxlength: 32, size: 34 })), check('wk-enable', d.enable, T(151), sync),
  ], okCancel(async () => { if ((await cmd('winKey.apply', { key: val('wk-key'), enable: checked('wk-enable') })).ok) closeDialog(); }));
  sync();
}

async function baseDriverDialog() {
  if (openDialogs.has('baseDriver')) return;
  const d = await cmd('baseDriver.get');
  dialog('baseDriver', T(75), [el('div', { id: 'bd-text', class: 'hint', text: d.text.replace(/\r\n/g, '\n') })], [
    el('button', { id: 'bd-load', text: T(74), onclick: async () => {
      const path = await choose(T(19), { suffix: 'tar.bz2' });
      if (!path) return;
      const r = await cmd('baseDriver.load', { path });
      $('#bd-text').textContent = r.text.replace(/\r\n/g, '\n');
    } }),
    el('button', { id: 'dlg-ok', text: T(0), onclick: () => closeDialog() })]);
}

async function logConfigDialog() {
  if (openDialogs.has('logConfig')) return;
  const d = await cmd('logConfig.get');
  const levels = ['Log', 'Diag', 'Debug'].map((name, i) => {
    const r = el('input', { type: 'radio', name: 'lc-level', id: 'lc-level-' + i, value: i });
    r.checked = i === d.level;
    return el('label', {}, r, ' ' + name);
  });
  const sync = () => {
    const on = checked('lc-enabled');
    for (const node of $$('#dialog input:not(#lc-enabled), #lc-browse')) node.disabled = !on;
  };
  dialog('logConfig', T(87), [
    check('lc-enabled', d.enabled, T(88), sync),
    row(T(89), input('lc-file', d.file, { size: 44 }), el('button', { id: 'lc-browse', text: '...', onclick: async () => {
      const path = await choose(T(89), { start: dirname(val('lc-file')) });
      if (path) $('#lc-file').value = path;
    } })),
    row(T(90), ...levels),
    row(T(91), input('lc-cache', d.cache, { size: 10 }), el('span', { class: 'hint', text: T(92) })),
  ], okCancel(async () => {
    const level = $$('[name="lc-level"]').findIndex(r => r.checked);
    const r = await cmd('logConfig.apply', { enabled: checked('lc-enabled'), file: val('lc-file'), level, cache: num('lc-cache') });
    if (r.ok) closeDialog();
  }));
  sync();
}

async function macFilterDialog() {
  if (openDialogs.has('macFilter')) return;
  const d = await cmd('macFilter.get');
  const list = listBox([...d.list], 0);
  list.node.id = 'mf-list';
  const mode = (deny) => {
    const white = el('input', { type: 'radio', name: 'mf-mode', id: 'mf-white' });
    const black = el('input', { type: 'radio', name: 'mf-mode', id: 'mf-black' });
    (deny ? black : white).checked = true;
    return el('div', { class: 'row' }, el('label', {}, white, ' ' + T(56)), el('label', {}, black, ' ' + T(57)));
  };
  const items = () => list.items();
  dialog('macFilter', T(54), [
    el('fieldset', {}, el('legend', { text: T(55) }), mode(d.deny)),
    el('fieldset', {}, el('legend', { text: T(58) }), list.node, el('div', { class: 'row' },
      el('button', { id: 'mf-add', text: T(59), onclick: async () => {
        const text = await macEditDialog('');
        if (text != null) list.set([...items(), text], items().length === 0 ? 0 : list.index());
      } }),
      el('button', { id: 'mf-delete', text: T(60), onclick: () => {
        const i = list.index();
        if (i < 0) return;
        const next = items().filter((_, k) => k !== i);
        list.set(next, Math.min(i, next.length - 1));
      } }),
      el('button', { id: 'mf-modify', text: T(61), onclick: async () => {
        const i = list.index();
        if (i < 0) return;
        const text = await macEditDialog(items()[i]);
        if (text != null) list.set(items().map((m, k) => (k === i ? text : m)), i);
      } }),
      el('button', { id: 'mf-import', text: T(62), onclick: async () => {
        const path = await choose(T(62), { suffix: '.txt' });
        if (!path) return;
        const r = await cmd('macFilter.import', { path });
        if (r.ok) list.set(r.list, 0);
      } }),
      el('button', { id: 'mf-export', text: T(63), onclick: async () => {
        const r = await cmd('macFilter.export');
        if (r.ok) textDialog2(r.path, r.text);
      } }))),
  ], okCancel(async () => {
    const r = await cmd('macFilter.apply', { deny: checked('mf-black'), list: items() });
    if (r.ok) closeDialog();
  }));
}

function textDialog2(title, text) {
  dialog('text2', title, [el('pre', { id: 'text-view2', text: text || '' })], [el('button', { text: T(0), onclick: () => closeDialog('#dialog2') })], '#dialog2');
}

// The MAC edit dialog: resolves with the checked pattern, or null on Cancel.
function macEditDialog(text) {
  return new Promise((resolve) => {
    const dlg = dialog('macEdit', T(64), [
      input('me-text', text, { maxlength: 17, size: 20 }),
      el('div', { class: 'hint', text: 'Valid MAC Format：\n00-1b-21-6b-8b-20\n00-1b-21-6b-8b-2*\n00-1b-21-6b-8b-**' }),
    ], [
      el('button', { id: 'me-ok', text: T(0), onclick: async () => {
        const r = await cmd('macFilter.check', { text: val('me-text') });
        if (r.ok) { resolve(r.pattern); closeDialog('#dialog2'); }
      } }),
      el('button', { id: 'me-cancel', text: T(1), onclick: () => { resolve(null); closeDialog('#dialog2'); } })], '#dialog2');
    dlg.oncancel = () => resolve(null);
  });
}

async function pluginsDialog() {
  if (openDialogs.has('plugins')) return;
  const d = await cmd('plugins.get');
  const desc = el('pre', { id: 'pl-desc' });
  const show = (i) => { desc.textContent = d.items[i] ? d.items[i].description.replace(/\r\n/g, '\n') : ''; };
  const list = listBox(d.items.map(p => p.name), 0, show);
  list.node.id = 'pl-list';
  dialog('plugins', T(66), [el('fieldset', {}, el('legend', { id: 'pl-caption', text: d.caption }), list.node), desc],
    [el('button', { id: 'dlg-ok', text: T(0), onclick: () => closeDialog() })]);
  show(0);
}

async function extractDialog(prefill = '', destination = '') {
  if (openDialogs.has('extract')) return;
  const stop = async () => (await cmd('extract.stop')).ok;
  const close = async () => (await cmd('extract.close')).ok;
  const dlg = dialog('extract', T(78), [
    el('fieldset', {}, el('legend', { text: T(79) }),
      row(T(80).trim(), input('ex-iso', prefill, { size: 44 }), el('button', { id: 'ex-browse-iso', text: '...', onclick: async () => {
        const path = await choose('ISO Files (*ISO)', { suffix: '.iso' });
        if (!path) return;
        const r = await cmd('extract.chooseIso', { path });
        if (r.ok) { $('#ex-iso').value = path; $('#ex-dest').value = r.destination; }
      } })),
      row(T(81), input('ex-dest', destination, { size: 44 }), el('button', { id: 'ex-browse-dest', text: '...', onclick: async () => {
        const path = await choose(T(22), { dirs: true });
        if (path) $('#ex-dest').value = path;
      } }))),
    el('fieldset', {}, el('legend', { text: T(84) }), el('progress', { id: 'ex-progress', max: 1, value: 0 }),
      el('div', { id: 'ex-status', text: T(82) }), el('div', { id: 'ex-message', class: 'blue' })),
  ], [
    el('button', { id: 'ex-start', text: T(85), onclick: () => cmd('extract.start', { iso: val('ex-iso'), destination: val('ex-dest') }) }),
    el('button', { id: 'ex-stop', text: T(86), onclick: stop }),
    el('button', { id: 'dlg-cancel', text: T(1), onclick: async () => { if (await close()) closeDialog(); } })]);
  dlg.oncancel = (e) => { e.preventDefault(); close().then(ok => ok && dlg.close()); };
  drawExtract();
}
function drawExtract() {
  const x = state.extract || {};
  if (!$('#ex-progress')) return;
  $('#ex-progress').max = Math.max(1, x.total || 0);
  $('#ex-progress').value = x.done || 0;
  $('#ex-status').textContent = x.status || T(82);
  $('#ex-message').textContent = x.running ? '' : (x.message || '');
}

// ---- The deployment history: one line per run, each run's rows as a CSV file.
async function historyDialog() {
  if (openDialogs.has('history')) return;
  const h = await cmd('history.get');
  if (!h.ok) return;
  const save = async (i) => {
    const r = await cmd('history.csv', { index: i });
    if (!r.ok) return;
    const a = el('a', { href: URL.createObjectURL(new Blob([r.csv], { type: 'text/csv' })), download: `kivpxe-run-${i + 1}.csv` });
    document.body.append(a); a.click(); a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  };
  const head = el('tr', {}, ...['Start', 'Stop', 'Source', 'OS', 'Clients', 'Finished', 'Failed', ''].map((t) => el('th', { text: t })));
  const lines = h.runs.map((r, i) => el('tr', {}, ...[r.start, r.stop, r.source, r.os, r.clients, r.finished, r.failed].map((v) => el('td', { text: String(v) })),
    el('td', {}, el('button', { class: 'csv', text: 'CSV', 'data-run': i, onclick: () => save(i) })))).reverse();
  dialog('history', 'Deployment History', [
    h.runs.length ? el('div', { class: 'list' }, el('table', { id: 'history-table' }, el('thead', {}, head), el('tbody', {}, ...lines)))
      : el('p', { class: 'muted', text: 'No deployment has run yet.' }),
  ], [el('button', { id: 'dlg-ok', text: T(0), onclick: () => closeDialog() })]);
}

// ---- The client grid: selection, context menu, detail dialog with its live timer.
let detailTimer = 0;
// The row's statuses, each with the time since the client's first request.
function timeline(history) {
  const since = (ms) => {
    const t = Math.floor(ms / 1000);
    return '+' + Math.floor(t / 60) + ':' + String(t % 60).padStart(2, '0');
  };
  return el('fieldset', { id: 'cd-timeline' }, el('legend', { text: 'Timeline' }),
    el('ol', {}, ...history.map((h) => el('li', {}, el('span', { class: 'since', text: since(h.ms) }), el('span', { text: h.status })))));
}
async function detailDialog(rowNumber) {
  if (openDialogs.has('detail')) return;
  const d = await cmd('clientDetail', { row: rowNumber });
  if (!d.ok) return;
  const opened = Date.now();
  const minutes = el('span', { id: 'cd-minutes', class: 'timer' }), seconds = el('span', { id: 'cd-seconds', class: 'timer' });
  const tick = () => {
    const total = d.minutes * 60 + d.seconds + (d.live ? Math.floor((Date.now() - opened) / 1000) : 0);
    minutes.textContent = String(Math.floor(total / 60));
    seconds.textContent = String(total % 60).padStart(2, '0');
  };
  const dlg = dialog('detail', T(133), [
    row(T(134), el('span', { id: 'cd-bios', text: d.biosMode })), row(T(135), el('span', { id: 'cd-mac', text: d.mac })),
    row(T(136), el('span', { id: 'cd-ip', text: d.ip })), row(T(137), el('span', { text: d.serial })),
    row(T(138), el('span', { text: d.product })), row(T(139), el('span', { text: d.vendor })),
    row(zh() ? '启动菜单上报' : 'Boot menu report', el('span', { id: 'cd-pim', text: d.pimNetwork || '' })),
    row(T(140), el('span', { id: 'cd-start', class: 'blue', text: d.startTime })),
    row(T(141), minutes, el('span', { class: 'blue', text: T(142) }), seconds, el('span', { class: 'blue', text: T(143) })),
    timeline(d.history || []),
  ], [el('button', { id: 'dlg-ok', text: T(0), onclick: () => closeDialog() })]);
  tick();
  detailTimer = setInterval(tick, 1000);
  dlg.addEventListener('close', () => clearInterval(detailTimer), { once: true });
}

function showContextMenu(rowNumber, x, y) {
  const r = rows[rowNumber - 1];
  if (!r || !r.ip) return;
  selectRow(rowNumber);
  const menu = $('#context-menu');
  const finished = r.status.includes(T(114));
  $('#ctx-sep').hidden = $('#ctx-delete').hidden = !finished;
  menu.style.left = x + 'px'; menu.style.top = y + 'px';
  menu.hidden = false;
  menu.dataset.row = rowNumber;
  $('#ctx-detail').focus();
}
function hideContextMenu() { $('#context-menu').hidden = true; }

// ---- Menus: click or keyboard; Escape closes.
function closeMenus() {
  for (const m of $$('.menu')) { m.querySelector('.items').hidden = true; m.firstElementChild.setAttribute('aria-expanded', 'false'); }
}
function wireMenus() {
  for (const m of $$('.menu')) {
    const top = m.firstElementChild, items = m.querySelector('.items');
    top.addEventListener('click', () => {
      const wasOpen = !items.hidden;
      closeMenus();
      if (!wasOpen) { items.hidden = false; top.setAttribute('aria-expanded', 'true'); items.querySelector('button:not(:disabled)')?.focus(); }
    });
    items.addEventListener('keydown', (e) => {
      const list = $$('button:not(:disabled)', items);
      const i = list.indexOf(document.activeElement);
      if (e.key === 'ArrowDown') list[(i + 1) % list.length].focus();
      else if (e.key === 'ArrowUp') list[(i - 1 + list.length) % list.length].focus();
      else if (e.key === 'Escape') { closeMenus(); top.focus(); }
      else return;
      e.preventDefault();
    });
  }
  for (const b of $$('.items button')) {
    b.addEventListener('click', () => {
      closeMenus();
      if (b.dataset.toggle) cmd('toggle', { item: b.dataset.toggle });
      else menuCommands[b.dataset.cmd]();
    });
  }
  document.addEventListener('keydown', (e) => {
    if (e.key === 'Escape' && e.target.closest('#menubar')) closeMenus();
  });
  document.addEventListener('click', (e) => {
    if (!e.target.closest('.menu')) closeMenus();
    if (!e.target.closest('#context-menu')) hideContextMenu();
  });
}

function wireMain() {
  $('#btn-start').addEventListener('click', () => cmd('start', fields()));
  $('#btn-stop').addEventListener('click', () => cmd('stop'));
  $('#btn-browse').addEventListener('click', browseSource);
  $('#btn-srvcfg').addEventListener('click', serverConfigDialog);
  $('#btn-history').addEventListener('click', historyDialog);
  // A missing picture leaves the place empty rather than showing a broken image.
  $('#os-picture').addEventListener('error', (e) => { e.target.style.visibility = 'hidden'; });
  $('#os-picture').addEventListener('load', (e) => { e.target.style.visibility = 'visible'; });
  for (const th of $$('#grid th')) th.addEventListener('click', () => sortBy(th.dataset.sort));
  $('#grid-filter').addEventListener('input', (e) => { grid.filter = e.target.value; drawRows(); });
  const body = $('#grid tbody');
  body.addEventListener('click', (e) => {
    const tr = e.target.closest('tr');
    if (tr && tr.dataset.row) { selectRow(+tr.dataset.row); tr.focus(); }
  });
  body.addEventListener('contextmenu', (e) => {
    const tr = e.target.closest('tr');
    if (!tr || !tr.dataset.row) return;
    e.preventDefault();
    showContextMenu(+tr.dataset.row, e.clientX, e.clientY);
  });
  body.addEventListener('keydown', (e) => {
    const tr = e.target.closest('tr');
    if (!tr || !tr.dataset.row) return;
    if (e.key === 'ContextMenu' || (e.shiftKey && e.key === 'F10')) {
      e.preventDefault();
      const box = tr.getBoundingClientRect();
      showContextMenu(+tr.dataset.row, box.left + 40, box.bottom);
    } else if (e.key === 'Enter') {
      detailDialog(+tr.dataset.row);
    } else if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      const next = tr[e.key === 'ArrowDown' ? 'nextElementSibling' : 'previousElementSibling'];
      if (next && next.dataset.row) { selectRow(+next.dataset.row); next.focus(); }
    }
  });
  $('#ctx-detail').addEventListener('click', () => { hideContextMenu(); detailDialog(+$('#context-menu').dataset.row); });
  $('#ctx-delete').addEventListener('click', () => { hideContextMenu(); cmd('clientDelete', { row: +$('#context-menu').dataset.row }); });
  $('#context-menu').addEventListener('keydown', (e) => { if (e.key === 'Escape') hideContextMenu(); });
  // Enter and Escape in the window do nothing by themselves (a field never starts a deployment).
  document.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && e.target.matches('main input')) e.preventDefault();
  });
}

async function main() {
  messages = await get('/api/messages');
  wireMenus();
  wireMain();
  drawRows();
  const events = new EventSource('/api/events');
  events.addEventListener('state', (e) => { state = JSON.parse(e.data); drawState(); drawRows(); document.body.dataset.ready = '1'; });
  events.addEventListener('rows', (e) => onRowsSnapshot(JSON.parse(e.data)));
  events.addEventListener('row', (e) => onRowChanged(JSON.parse(e.data)));
  events.addEventListener('overview', (e) => onOverview(JSON.parse(e.data)));
  events.addEventListener('rowcount', (e) => onRowCount(JSON.parse(e.data).count));
}
main();
