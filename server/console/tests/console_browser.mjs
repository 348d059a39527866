// Drives the console in headless Chromium: start and stop through the buttons, each dialog's
// refusals, the language switch, the grid following a real TFTP download, a server prompt that
// blocks other commands, the plug-in prompts; saves a screenshot of the window and each dialog.
// Arguments come from the environment: KIV_URL, KIV_SHOTS, KIV_DATA, KIV_NS_C, KIV_ASK_ISO.
import { chromium } from 'playwright-core';
import { execFileSync } from 'node:child_process';
import assert from 'node:assert/strict';

const { KIV_URL, KIV_SHOTS, KIV_DATA, KIV_NS_C, KIV_ASK_ISO } = process.env;
const token = new URL(KIV_URL).searchParams.get('token');
const origin = new URL(KIV_URL).origin;
setTimeout(() => { console.log('FAIL: the browser test ran out of time'); process.exit(1); }, 200000).unref();

const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] });
const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
page.setDefaultTimeout(15000);
const messages = await (await fetch(origin + '/api/messages', { headers: { Authorization: 'Bearer ' + token } })).json();
const M = (n) => messages.en[n].replace(/\r\n/g, '\n');
const shot = (name) => page.screenshot({ path: `${KIV_SHOTS}/${name}.png` });
const ok = (text) => console.log('ok: ' + text);

// The prompt on screen: its text, then the button pressed.
async function expectPrompt(text, button = 'ok', name = '') {
  const prompt = page.locator('#prompt[open]');
  await prompt.waitFor();
  assert.equal((await page.locator('#prompt-text').textContent()).trim(), text.trim());
  if (name) await shot(name);
  await page.click('#prompt-' + button);
  await page.locator('#prompt[open]').waitFor({ state: 'detached' }).catch(() => {});
  await page.waitForFunction(() => !document.querySelector('#prompt').open);
}
async function menu(top, item) {
  await page.click('#menu-' + top);
  await page.click('#mi-' + item);
}
const dialogOpen = () => page.locator('#dialog[open]').waitFor();
const dialogClosed = () => page.waitForFunction(() => !document.querySelector('#dialog').open);

await page.goto(KIV_URL);
await page.waitForSelector('body[data-ready="1"]');
assert.ok(await page.isEnabled('#btn-start'));
assert.ok(await page.isDisabled('#btn-stop'));
assert.equal(await page.locator('#menubar', { hasText: 'PIM Configuration' }).count(), 0);
assert.equal(page.url(), origin + '/');
await shot('main-window');
ok('the main window loads with the token and hides it from the address bar');

// ---- Language: menus and grid headers are re-captioned, and back.
await menu('language', 'chinese');
await page.waitForFunction(() => document.querySelector('#menu-option').textContent === '选项');
assert.equal(await page.textContent('#grid th:nth-child(1)'), messages.zh[29]);
assert.equal(await page.textContent('#grid th:nth-child(3)'), messages.zh[31]);
await page.click('#menu-option');
assert.equal(await page.textContent('#mi-macfilter'), messages.zh[37]);
assert.equal(await page.getAttribute('#mi-chinese', 'aria-checked'), 'true');
await page.keyboard.press('Escape');
await shot('main-window-chinese');
await menu('language', 'english');
await page.waitForFunction(() => document.querySelector('#menu-option').textContent === 'Option');
assert.equal(await page.textContent('#grid th:nth-child(2)'), messages.en[30]);
ok('the language switch re-captions menus and grid headers');

// ---- Server configuration: 111, 112, 113, then accepted.
await page.click('#btn-srvcfg');
await dialogOpen();
await shot('dialog-server-configuration');
await page.fill('#sc-mask', '0.0.0.0');
await page.click('#dlg-ok');
await expectPrompt(M(111), 'ok', 'prompt-message');
await page.fill('#sc-mask', '255.255.255.0');
await page.uncheck('#sc-xxx1');
await page.fill('#sc-gateway', '0.0.0.0');
await page.click('#dlg-ok');
await expectPrompt(M(112));
await page.fill('#sc-gateway', '10.89.0.254');
await page.fill('#sc-disk', '200G');
await page.click('#dlg-ok');
await expectPrompt(M(113));
await page.fill('#sc-timeout', '0');
await page.fill('#sc-disk', '200GB');
await page.click('#dlg-ok');
await expectPrompt('Please enter an integer between 1 and 100.');
await page.fill('#sc-timeout', '2');
await page.click('#dlg-ok');
await dialogClosed();
ok('server configuration: messages 111, 112, 113 and the range message, then accepted');

// ---- NFS (72), product key (152), boot options (68).
await menu('option', 'nfs');
await dialogOpen();
await page.fill('#nfs-url', 'server:/share');
await page.click('#dlg-ok');
await expectPrompt(M(72));
await shot('dialog-nfs');
await page.fill('#nfs-url', '10.89.0.1:/srv/share');
await page.click('#dlg-ok');
await dialogClosed();
await menu('option', 'winkey');
await dialogOpen();
await page.check('#wk-enable');
await page.fill('#wk-key', 'ABCDE 12345');
await page.click('#dlg-ok');
await expectPrompt(M(152));
await shot('dialog-product-key');
await page.click('#dlg-cancel');
await dialogClosed();
await menu('option', 'extboot');
await dialogOpen();
assert.equal(await page.inputValue('#eb-os'), '0');
await page.check('#eb-active');
await page.waitForFunction(() => !document.querySelector('#eb-legacy').readOnly);
await page.fill('#eb-legacy', 'quiet 中文');
await page.click('#dlg-ok');
await expectPrompt(M(68));
await shot('dialog-boot-options');
await page.fill('#eb-legacy', 'quiet');
await page.click('#dlg-ok');
await dialogClosed();
ok('NFS 72, product key 152 and boot option 68 refused; good values accepted');

// ---- MAC filter and MAC edit (17); an empty whitelist asks 65 and blocks other commands.
await menu('option', 'macfilter');
await dialogOpen();
await page.click('#mf-add');
await page.locator('#dialog2[open]').waitFor();
await page.fill('#me-text', '00-1b-21-6b-8b');
await page.click('#me-ok');
await expectPrompt(M(17));
await shot('dialog-mac-edit');
await page.fill('#me-text', '00:1B:21:6b:8b:2*');
await page.click('#me-ok');
await page.waitForFunction(() => document.querySelector('#mf-list').textContent === '00-1B-21-6b-8b-2*');
await shot('dialog-mac-filter');
await page.click('#mf-delete');
await page.check('#mf-white');
await page.click('#dlg-ok');
await page.locator('#prompt[open]').waitFor();
assert.equal((await page.textContent('#prompt-text')).trim(), M(65).trim());
const busy = await fetch(origin + '/api/cmd/toggle', { method: 'POST', body: '{"item":"autoStart"}',
  headers: { Authorization: 'Bearer ' + token } });
assert.equal(busy.status, 409);
await expectPrompt(M(65), 'no');
assert.ok(await page.isVisible('#dialog[open]'));
await page.click('#dlg-cancel');
await dialogClosed();
ok('MAC edit 17; whitelist with an empty list asks 65, other commands get 409 meanwhile, No keeps the dialog');

// ---- Log configuration (93), plug-in list, about, base driver, open log.
await menu('log', 'logcfg');
await dialogOpen();
await page.fill('#lc-file', '');
await page.click('#dlg-ok');
await expectPrompt(M(93));
await shot('dialog-log-configuration');
await page.click('#dlg-cancel');
await dialogClosed();
await menu('plugin', 'plugins');
await dialogOpen();
assert.match(await page.textContent('#pl-desc'), /Deployment test plug-in/);
await shot('dialog-plugins');
await page.click('#dlg-ok');
// By keyboard: the menu opens on Enter with its first item focused.
await page.focus('#menu-help');
await page.keyboard.press('Enter');
assert.equal(await page.evaluate(() => document.activeElement.id), 'mi-about');
await page.keyboard.press('Enter');
await dialogOpen();
assert.match(await page.textContent('#about-text'), /^KIV Deploy System /);
await shot('dialog-about');
await page.click('#dlg-ok');
await menu('plugin', 'basedrv');
await dialogOpen();
assert.match(await page.textContent('#bd-text'), new RegExp(M(21)));
await page.click('#bd-load');
await page.locator('#chooser[open]').waitFor();
await page.fill('#chooser-path', KIV_DATA + '/src');
await page.press('#chooser-path', 'Enter');
assert.equal(await page.locator('#chooser-list >> text=kivtest.iso').count(), 0);
await page.dblclick('#chooser-list >> text=basedrv-20240131.tar.bz2');
await expectPrompt(M(20));
await page.waitForFunction(() => /20240131 basedrv-20240131/.test(document.querySelector('#bd-text').textContent));
assert.match(await page.textContent('#bd-text'), new RegExp('^' + M(76)));
await shot('dialog-base-driver');
await page.click('#dlg-ok');
await menu('log', 'openlog');
await dialogOpen();
assert.match(await page.textContent('#text-view'), /start, data directory/);
await page.click('#dlg-ok');
ok('log configuration 93, plug-in list, about, base driver loaded through the chooser, log view');

// ---- ISO extraction through the file chooser, with progress to the end.
await menu('plugin', 'extract');
await dialogOpen();
await page.click('#ex-browse-iso');
await page.locator('#chooser[open]').waitFor();
await page.fill('#chooser-path', KIV_DATA + '/src');
await page.press('#chooser-path', 'Enter');
await page.click('#chooser-list >> text=kivtest.iso');
await page.click('#chooser-ok');
await page.waitForFunction(() => document.querySelector('#ex-dest').value.endsWith('/src/kivtest'));
await page.click('#ex-start');
await page.waitForFunction((text) => document.querySelector('#ex-message').textContent === text, M(83));
await shot('dialog-extract-iso');
await page.click('#dlg-cancel');
await dialogClosed();
ok('ISO extraction chosen in the file chooser ran to "' + M(83) + '"');

// ---- Start through the button; the grid follows a TFTP download; detail; stop with its question.
await page.click('#btn-start');
await page.waitForSelector('#btn-stop:not([disabled])');
assert.ok(await page.isDisabled('#f-ip'));
await page.click('#menu-language');
assert.ok(await page.isDisabled('#mi-chinese'));
await page.keyboard.press('Escape');
execFileSync('ip', ['netns', 'exec', KIV_NS_C, 'curl', '-s', '-m', '30', '-o', '/dev/null', 'tftp://10.89.0.1/pxelinux.1408.0']);
await page.waitForFunction(() => /TFTP: 100\.00%/.test(document.querySelector('#grid tbody tr').textContent));
assert.equal(await page.textContent('#grid tbody tr td:nth-child(1)'), '10.89.0.100');
await shot('main-window-running');
await page.click('#grid tbody tr td:nth-child(3)', { button: 'right' });
assert.ok(await page.isVisible('#ctx-detail'));
assert.ok(!(await page.isVisible('#ctx-delete')));
await page.click('#ctx-detail');
await dialogOpen();
const first = await page.textContent('#cd-seconds');
await page.waitForFunction((s) => document.querySelector('#cd-seconds').textContent !== s, first, { timeout: 3000 });
await shot('dialog-client-detail');
await page.keyboard.press('Escape');
await dialogClosed();
await page.focus('#grid tbody tr[tabindex="0"]');
await page.keyboard.press('Enter');
await dialogOpen();
assert.equal(await page.textContent('#cd-ip'), '10.89.0.100');
await page.click('#dlg-ok');
await page.click('#btn-stop');
await page.locator('#prompt[open]').waitFor();
await page.click('#prompt-no');
await page.waitForTimeout(300);
assert.ok(await page.isEnabled('#btn-stop'));
await page.click('#btn-stop');
await page.click('#prompt-yes');
await page.waitForSelector('#btn-start:not([disabled])');
ok('start and stop through the buttons (No keeps it running); grid row from TFTP; detail timer runs');

// ---- Plug-in prompts: choose an image, credentials; progress went out on the event stream.
await page.fill('#f-source', KIV_ASK_ISO);
await page.click('#btn-start');
await page.locator('#prompt[open] .list').waitFor();
assert.equal(await page.textContent('#prompt h2'), 'Choose an image');
assert.equal(await page.getAttribute('#prompt [role=option][aria-selected=true]', 'aria-selected'), 'true');
await shot('prompt-choose-image');
await page.click('#prompt [role=option] >> text=Test Server Standard');
await page.click('#prompt-ok');
await page.locator('#prompt-user').waitFor();
assert.equal(await page.inputValue('#prompt-user'), 'deploy');
await page.fill('#prompt-password', 'secret');
await shot('prompt-credentials');
await page.click('#prompt-ok');
await page.waitForSelector('#btn-stop:not([disabled])');
await page.click('#btn-stop');
await page.click('#prompt-yes');
await page.waitForSelector('#btn-start:not([disabled])');
ok('plug-in prompts: image chosen and credentials given in the browser; the deployment started');

await browser.close();
