// The playground page in headless Chromium (Debian's /usr/bin/chromium,
// driven by puppeteer-core): it loads cleanly and offline, its examples
// assemble as sqnasm assembles them, its WAV files are sqn2wav's byte for
// byte (from window.sqn and from the download button), errors show their
// line and column in the editor (CodeMirror, highlighted, with undo), and
// Play and Stop start and stop the audio clock. Keeps a
// screenshot in web/screenshot.png.
//   node page.test.mjs SITE_DIR NATIVE_BUILD_DIR
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto, { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import zlib from 'node:zlib';
import { launchChromium, serveFolder } from './browser.mjs';

const [site, build] = process.argv.slice(2).map((dir) => path.resolve(dir));
const sqn2wav = path.join(build, 'app', 'sqn2wav');
const here = path.dirname(fileURLToPath(import.meta.url));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'sqn-page-'));
const downloads = path.join(work, 'downloads');

let server;
let origin;
let browser;
let page;
const dialogs = [];     // what the page asked
let dismissDialogs = false;
const problems = [];  // console errors, page errors, requests that left the server
const requested = [];

// What the native programs make of a song (with sqn2wav's options).
function nativeWav(song, options = []) {
  const input = path.join(work, 'native.sqn');
  const output = path.join(work, 'native.wav');
  fs.writeFileSync(input, song);
  execFileSync(sqn2wav, [...options, input, output]);
  return fs.readFileSync(output);
}

function randomSong(seed) {
  let state = seed;
  const next = () => { state = (state * 1103515245 + 12345) % 2147483648; return state >> 8; };
  const song = [60 + (next() % 180), 1 + (next() % 8)];
  for (let i = 0; i < 200; ++i) {
    const command = 1 + (next() % 6);
    const param = command === 1 || command === 5 ? next() % 3 : command === 6 ? 0 : next() % 256;
    song.push(next() % 7, command === 6 && i < 199 ? 2 : command, param);
  }
  return Uint8Array.from(song);
}

async function waitForFile(file) {
  for (let i = 0; i < 1200; ++i) {
    if (fs.existsSync(file) && !fs.existsSync(`${file}.crdownload`)) return fs.readFileSync(file);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`${file} was not downloaded`);
}

// Waits until the editor shows a song starting with `start` and the page
// has assembled it.
async function songShown(start) {
  await page.waitForFunction((text) => document.getElementById('song').value.startsWith(text) && window.sqnPage.song() &&
    window.sqnPage.assembledText === document.getElementById('song').value, { timeout: 60000 }, start);
}

async function setText(text) {
  await page.evaluate((value) => {
    const editor = document.getElementById('song');
    editor.value = value;
    editor.dispatchEvent(new Event('input'));
  }, text);
}

before(async () => {
  ({ server, origin } = await serveFolder(site));
  browser = await launchChromium(path.join(work, 'profile'));
  page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 760 });
  page.on('console', (entry) => { if (entry.type() === 'error') problems.push(`console: ${entry.text()}`); });
  page.on('pageerror', (error) => problems.push(`page: ${error.message}`));
  // Replacing edited text asks first; the tests say yes unless one says otherwise.
  page.on('dialog', (dialog) => {
    dialogs.push(dialog.message());
    return dismissDialogs ? dialog.dismiss() : dialog.accept();
  });
  page.on('request', (request) => {
    requested.push(request.url());
    if (!/^(data|blob):/.test(request.url()) && !request.url().startsWith(origin)) {
      problems.push(`fetched from the network: ${request.url()}`);
    }
  });
  const session = await browser.target().createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  await page.goto(`${origin}/`);
  await page.waitForSelector('body[data-ready="true"]', { timeout: 60000 });
});

after(async () => {
  await browser?.close();
  server?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

test('the page loads with no error and fetches nothing from the network', async () => {
  assert.deepEqual(problems, []);
  assert.ok(requested.some((url) => url.endsWith('/sqn.wasm')));
  const text = await page.$eval('#song', (editor) => editor.value);
  assert.match(text, /^# /);  // the demo, first in the menu
  assert.equal(await page.$eval('#examples', (menu) => menu.value), 'demo');
  // The licence and those of what the page bundles are linked from it.
  const licences = await page.$$eval('footer a', (links) => links.map((link) => link.getAttribute('href')));
  assert.deepEqual(licences, ['LICENSE', 'third-party-licenses.txt']);
  const thirdParty = fs.readFileSync(path.join(site, 'third-party-licenses.txt'), 'utf8');
  for (const bundled of ['@codemirror/view', 'fflate', 'musl libc']) assert.ok(thirdParty.includes(bundled), bundled);
  assert.match(fs.readFileSync(path.join(site, 'LICENSE'), 'utf8'), /^MIT License/);
});

test('every example assembles (or compiles, in MML) to the bytes sqnasm and mml2sqn make', async () => {
  const names = JSON.parse(fs.readFileSync(path.join(site, 'examples', 'list.json'), 'utf8'));
  assert.equal(names[0], 'demo');
  assert.ok(names.includes('tune.mml') && names.includes('arcade.mml'));
  for (const name of names) {
    const result = await page.evaluate(async (song) => {
      const mml = song.endsWith('.mml');
      const text = await (await fetch(`examples/${mml ? song : `${song}.txt`}`)).text();
      const { bytes, errors } = mml ? window.sqn.compileMml(text) : window.sqn.assemble(text);
      return { bytes: bytes ? Array.from(bytes) : null, errors };
    }, name);
    assert.equal(result.errors, undefined, name);
    const built = path.join(build, 'examples', `${name.replace(/\.mml$/, '')}.sqn`);
    assert.deepEqual(Buffer.from(result.bytes), fs.readFileSync(built), name);
  }
  // Picking the MML example sets the language; its errors show as the text
  // form's do.
  await page.select('#examples', 'tune.mml');
  await page.waitForFunction(() => document.getElementById('language').value === 'mml');
  await setText('A o4 c x\n');
  await page.waitForSelector('#errors li');
  assert.deepEqual(await page.$$eval('#errors li', (items) => items.map((item) => item.textContent)),
    ['1:8: expected a command (c d e f g a b n r o < > l t v V q k @v @a @p @i [ | ] { } L $ ! & ^ ~), found \'x\'']);
  await page.select('#examples', 'demo');
  await page.waitForFunction(() => document.getElementById('language').value === 'text');
});

test("renderWav and the download buttons give sqn2wav's files", async () => {
  const songs = ['demo', 'chords', 'groove', 'loops'].map((name) => fs.readFileSync(path.join(build, 'examples', `${name}.sqn`)));
  for (let seed = 1; seed <= 4; ++seed) songs.push(randomSong(seed));
  for (const song of songs) {
    // Compared by their SHA-256, so that megabytes need not cross over.
    const digest = await page.evaluate(async (bytes) => {
      const wav = window.sqn.renderWav(Uint8Array.from(bytes));
      return Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', wav)));
    }, Array.from(song));
    const expected = createHash('sha256').update(nativeWav(song)).digest();
    assert.ok(Buffer.from(digest).equals(expected), `a song of ${song.length} bytes`);
  }
  // The listing of a song file assembles back to it.
  const again = await page.evaluate((bytes) => Array.from(window.sqn.assemble(window.sqn.disassemble(Uint8Array.from(bytes))).bytes), Array.from(songs[4]));
  assert.deepEqual(Buffer.from(again), Buffer.from(songs[4]));

  await page.select('#examples', 'groove');
  await page.waitForFunction(() => document.getElementById('song').value.includes('two-bar drum groove'));
  await page.click('#download-wav');
  const downloaded = await waitForFile(path.join(downloads, 'groove.wav'));
  assert.ok(downloaded.equals(nativeWav(fs.readFileSync(path.join(build, 'examples', 'groove.sqn')))));
  await page.click('#download-sqn');
  const sqn = await waitForFile(path.join(downloads, 'groove.sqn'));
  assert.ok(sqn.equals(fs.readFileSync(path.join(build, 'examples', 'groove.sqn'))));
});

test('the passes, the fade and the stems download as sqn2wav --loops, --fade and --voices write them', async () => {
  const loops = fs.readFileSync(path.join(build, 'examples', 'loops.sqn'));
  const digest = await page.evaluate(async (bytes) => {
    const wav = window.sqn.renderWav(Uint8Array.from(bytes), { loops: 3, fade: 2.5, muted: [false, true] });
    return Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', wav)));
  }, Array.from(loops));
  const expected = createHash('sha256').update(nativeWav(loops, ['--loops', '3', '--fade', '2.5', '--voices', '0,2,3,4,5']))
    .digest();
  assert.ok(Buffer.from(digest).equals(expected));

  await page.select('#examples', 'loops');
  await page.waitForFunction(() => document.getElementById('song').value.includes('loop-end'));
  await page.$eval('#passes', (box) => { box.value = '2'; });
  await page.$eval('#fade', (box) => { box.value = '1.5'; });
  await page.click('#download-wav');
  const downloaded = await waitForFile(path.join(downloads, 'loops.wav'));
  assert.ok(downloaded.equals(nativeWav(loops, ['--loops', '2', '--fade', '1.5'])));
  await page.click('#download-stems');
  const zip = await waitForFile(path.join(downloads, 'loops-stems.zip'));
  const listed = execFileSync('unzip', ['-Z1', path.join(downloads, 'loops-stems.zip')]).toString().trim().split('\n');
  assert.deepEqual(listed, [0, 1, 2, 3, 4, 5].map((voice) => `loops-voice${voice}.wav`));
  for (const voice of [0, 4]) {
    const stem = execFileSync('unzip', ['-p', path.join(downloads, 'loops-stems.zip'), `loops-voice${voice}.wav`],
      { maxBuffer: 1 << 28 });
    assert.ok(stem.equals(nativeWav(loops, ['--loops', '2', '--fade', '1.5', '--voices', String(voice)])), `voice ${voice}`);
  }
  assert.ok(zip.length > 0);
  await page.$eval('#passes', (box) => { box.value = '1'; });
  await page.$eval('#fade', (box) => { box.value = '0'; });
});

test("a voice's number in the lanes mutes it, a second click solos it, heard as sqn2wav --voices renders it", async () => {
  await page.select('#examples', 'groove');
  await page.waitForFunction(() => document.getElementById('song').value.includes('two-bar drum groove'));
  const box = await (await page.$('#lanes')).boundingBox();
  const number = (voice) => page.mouse.click(box.x + box.width - 8, box.y + (voice + 0.5) * (box.height / 6));
  await number(4);
  await page.waitForFunction(() => document.getElementById('message').textContent === 'Voice 4 muted.');
  await number(5);
  await number(5);
  await page.waitForFunction(() => document.getElementById('message').textContent === 'Voice 5 soloed.');
  // Voice 5 alone (4 muted too): the download and what plays are voice 5.
  const groove = fs.readFileSync(path.join(build, 'examples', 'groove.sqn'));
  for (const file of fs.readdirSync(downloads)) fs.rmSync(path.join(downloads, file));
  await page.click('#download-wav');
  const downloaded = await waitForFile(path.join(downloads, 'groove.wav'));
  assert.ok(downloaded.equals(nativeWav(groove, ['--voices', '5'])));
  // The lanes draw the soloed voice and the muted ones so.
  const marks = await page.evaluate(() => {
    const canvas = document.getElementById('lanes');
    const graphics = canvas.getContext('2d');
    const lane = canvas.height / 6;
    const at = (voice) => Array.from(graphics.getImageData(canvas.width - 30, voice * lane + 2, 28, 12).data);
    return [0, 4, 5].map((voice) => at(voice).some((value, i) => i % 4 === 0 && value > 200));
  });
  assert.deepEqual(marks, [false, true, true]);  // red M on 4, yellow S on 5, grey on 0
  // Back to all heard: 4 muted → solo → heard, 5 solo → heard.
  await number(5);
  await number(4);
  await number(4);
  await page.waitForFunction(() => document.getElementById('message').textContent === 'Voice 4 heard.');
  for (const file of fs.readdirSync(downloads)) fs.rmSync(path.join(downloads, file));
  await page.click('#download-wav');
  assert.ok((await waitForFile(path.join(downloads, 'groove.wav'))).equals(nativeWav(groove)));
});

test('an MML song names the page and its downloads after its #title, and its instruments are highlighted', async () => {
  await page.select('#language', 'mml');
  await setText('#title "Night: Drive?"\n@v1 = { 15 12 | 9 }\n@a1 = { | 0 4 7 }\nA t120 o5 @v1 @a1 k+2 c4^8 [d | e]2\n');
  await page.waitForFunction(() => document.title === 'Night: Drive? · sqn playground');
  for (const file of fs.readdirSync(downloads)) fs.rmSync(path.join(downloads, file));
  await page.click('#download-sqn');
  await waitForFile(path.join(downloads, 'Night- Drive.sqn'));
  const classes = await page.evaluate(() => {
    const spans = Array.from(document.querySelectorAll('#song .cm-line span'));
    const of = (text) => spans.filter((span) => span.textContent === text).map((span) => span.className);
    return { envelope: of('@v1'), tie: of('^'), bar: of('|'), setting: of('#title'), transpose: of('k+2') };
  });
  for (const [what, found] of Object.entries(classes)) assert.ok(found.length > 0 && found[0] !== '', what);
  await page.select('#language', 'text');
});

test('an MML file of several songs offers them in a menu, each compiled as mml2sqn --song compiles it', async () => {
  await page.select('#language', 'mml');
  const text = '@v1 = { 15 12 / 4 0 }\n#song theme\nA @v1 o4 c d e f\n#song win\n#meter 3\nA @v1 o5 l8 c e g > c4.\n';
  await setText(text);
  await page.waitForFunction(() => window.sqnPage.songs().length === 2);
  assert.equal(await page.$eval('#song-choice', (label) => label.hidden), false);
  const native = (song) => {
    const input = path.join(work, 'songs.mml');
    const output = path.join(work, 'songs.sqn');
    fs.writeFileSync(input, text);
    execFileSync(path.join(build, 'app', 'mml2sqn'), ['--song', song, input, output], { stdio: 'ignore' });
    return Array.from(fs.readFileSync(output));
  };
  assert.deepEqual(await page.evaluate(() => Array.from(window.sqnPage.song())), native('theme'));
  await page.select('#songs', 'win');
  // The jingle's three beats, in a bar of three.
  await page.waitForFunction(() => window.sqnPage.music() && window.sqnPage.music().beats.length === 3);
  assert.deepEqual(await page.evaluate(() => Array.from(window.sqnPage.song())), native('win'));
  // An edit keeps the song chosen; a file of one song hides the menu.
  await setText(text.replace('c4.', 'd4.'));
  await page.waitForFunction(() => window.sqnPage.assembledText.includes('d4.'));
  assert.equal(await page.$eval('#songs', (menu) => menu.value), 'win');
  await setText('A c d e f\n');
  await page.waitForFunction(() => document.getElementById('song-choice').hidden);
  await page.select('#language', 'text');
});

test('a song file opened from disk is shown in its text form', async () => {
  const file = path.join(work, 'worked.sqn');
  fs.writeFileSync(file, Uint8Array.from([0x78, 4, 0, 4, 0x28, 0, 3, 0x80, 0, 2, 4, 0, 1, 4, 4, 2, 0, 0, 6, 0]));
  const input = await page.$('#open');
  await input.uploadFile(file);
  await page.waitForFunction(() => document.getElementById('song').value.startsWith('tempo 120 4'));
  const text = await page.$eval('#song', (editor) => editor.value);
  assert.match(text, /note 4 0 +# frame 24004, 0\.500083 s/);
});

test('a MIDI file opens as a song, as mid2sqn imports it; a broken one says so', async () => {
  const midi = path.join(here, '..', '..', 'examples', 'reel.mid');
  const input = await page.$('#open');
  await input.uploadFile(midi);
  await page.waitForFunction(() => document.getElementById('song').value.startsWith('# imported from MIDI'));
  const text = await page.$eval('#song', (editor) => editor.value);
  const native = execFileSync(path.join(build, 'app', 'mid2sqn'), [midi, '-'], { stdio: ['ignore', 'pipe', 'ignore'] })
    .toString();
  // The same statements as mid2sqn's text form, line for line after the first.
  assert.equal(text.split('\n').slice(1).join('\n'), native.split('\n').slice(1).join('\n'));
  const bytes = await page.evaluate(() => Array.from(window.sqnPage.song()));
  assert.ok(bytes.length > 100);

  const broken = path.join(work, 'broken.mid');
  fs.writeFileSync(broken, Buffer.from('MThd and then nothing of use'));
  await input.uploadFile(broken);
  await page.waitForFunction(() => document.getElementById('message').textContent.includes('not a MIDI file'));
  assert.equal(await page.$eval('#song', (editor) => editor.value), text);
  await page.select('#examples', 'demo');
  await page.waitForFunction(() => document.getElementById('song').value.startsWith('# The demo'));
});

test('the editor colours both languages, indents with Tab and undoes', async () => {
  // Command word, voice, note name, number and comment each in a colour of their own.
  const colours = () => {
    const line = document.querySelectorAll('#song .cm-line')[1];
    return new Set(Array.from(line.querySelectorAll('span'), (span) => getComputedStyle(span).color)).size;
  };
  await setText('tempo 120 4\npitch 0 C5 # high\nwait 0 4\n');
  assert.ok(await page.evaluate(colours) >= 4, 'the text form is highlighted');
  await page.select('#language', 'mml');
  await setText('; a tune\nA t120 l8 o5 c d [e g]2 ; the tune\n');
  assert.ok(await page.evaluate(colours) >= 4, 'MML is highlighted');
  await page.select('#language', 'text');

  const text = 'tempo 120 4\nnote 0 4\nwait 0 4\n';
  await setText(text);
  await page.click('#song .cm-line:nth-child(2)');
  await page.keyboard.press('Home');
  await page.keyboard.press('Tab');
  assert.equal(await page.$eval('#song', (editor) => editor.value), 'tempo 120 4\n    note 0 4\nwait 0 4\n');
  assert.equal(await page.evaluate(() => document.activeElement.closest('#song') !== null), true, 'Tab stays in the editor');
  await page.keyboard.down('Control');
  await page.keyboard.press('z');
  await page.keyboard.up('Control');
  assert.equal(await page.$eval('#song', (editor) => editor.value), text);
  await page.keyboard.down('Control');
  await page.keyboard.press('y');
  await page.keyboard.up('Control');
  assert.equal(await page.$eval('#song', (editor) => editor.value), 'tempo 120 4\n    note 0 4\nwait 0 4\n');
  await page.click('h1');
  await page.waitForFunction(() => document.querySelectorAll('#errors li').length === 0 && window.sqnPage.song()?.length === 8);
});

test('on a phone-sized screen long lines wrap instead of running off it', async () => {
  await page.setViewport({ width: 390, height: 760 });
  await setText(`tempo 120 4\n# ${'a long comment that goes on and on '.repeat(6)}\nwait 0 4\n`);
  const [content, scroller] = await page.evaluate(() => [
    document.querySelector('#song .cm-content').getBoundingClientRect().right,
    document.querySelector('#song .cm-scroller').getBoundingClientRect().right,
  ]);
  assert.ok(content <= scroller + 1, `the text reaches ${content} px, the editor ends at ${scroller} px`);
  const height = await page.$eval('#song .cm-line:nth-child(2)', (line) => line.getBoundingClientRect().height);
  assert.ok(height > 40, 'the long line takes several rows');
  await page.setViewport({ width: 1100, height: 760 });
  await setText('tempo 120 4\nnote 0 4\nwait 0 4\n');
  await page.waitForFunction(() => window.sqnPage.song()?.length === 8);
});

test('a broken line shows its line and column, underlined in the text with the message on hover', async () => {
  await setText('tempo 120 4\nnote 0 x\nwait 0 4\n');
  await page.waitForSelector('#errors li');
  const errors = await page.$$eval('#errors li', (items) => items.map((item) => item.textContent));
  assert.deepEqual(errors, ["2:8: expected a gate length in rows, 0 … 255, found 'x'"]);
  // The word at 2:8 is underlined, its line marked in the gutter.
  await page.waitForSelector('#song .cm-lintRange-error');
  const underlined = await page.$$eval('#song .cm-lintRange-error', (marks) => marks.map((mark) => mark.textContent));
  assert.deepEqual(underlined, ['x']);
  assert.equal(await page.$$eval('#song .cm-lint-marker-error', (marks) => marks.length), 1);
  await page.hover('#song .cm-lintRange-error');
  await page.waitForSelector('.cm-tooltip-lint', { timeout: 60000 });
  assert.match(await page.$eval('.cm-tooltip-lint', (tip) => tip.textContent), /expected a gate length in rows/);
  await page.mouse.move(0, 0);
  // Clicking the error puts the cursor there.
  await page.click('#errors li');
  const cursor = await page.evaluate(() => window.sqnPage.cursor());
  assert.deepEqual(cursor, { line: 2, column: 8 });
  const result = await page.evaluate(() => window.sqn.assemble('tempo 120 4\nnote 0 x\n'));
  assert.deepEqual(result, { errors: [{ line: 2, column: 8, message: "expected a gate length in rows, 0 … 255, found 'x'" }] });

  // Columns count characters, as the editor shows them: an underline
  // after a character of several bytes (and two UTF-16 units) is where the
  // mistake is.
  await page.select('#language', 'mml');
  await setText('A 😀 x\n');
  await page.waitForFunction(() => document.querySelectorAll('#errors li').length === 2);
  const mml = await page.$$eval('#errors li', (items) => items.map((item) => item.textContent.split(':').slice(0, 2).join(':')));
  assert.deepEqual(mml, ['1:3', '1:5']);
  await page.waitForFunction(() => document.querySelectorAll('#song .cm-lintRange-error').length === 2);
  assert.deepEqual(await page.$$eval('#song .cm-lintRange-error', (marks) => marks.map((mark) => mark.textContent)),
    ['😀', 'x']);
  await page.select('#language', 'text');

  await setText('tempo 120 4\nnote 0 4\nwait 0 4\n');
  await page.waitForFunction(() => document.querySelectorAll('#errors li').length === 0);
});

test('a huge text stays responsive and shows its first hundred errors with a count of the rest', async () => {
  // 500,000 bad lines: the list holds a hundred and a count.
  const bad = 'tempo 120 4\n' + 'note 0 x\n'.repeat(500000);
  await setText(bad);
  await page.waitForFunction(() => document.querySelectorAll('#errors li').length > 0, { timeout: 40000 });
  const items = await page.$$eval('#errors li', (list) => list.map((item) => item.textContent));
  assert.equal(items.length, 101);
  assert.equal(items[0], "2:8: expected a gate length in rows, 0 … 255, found 'x'");
  assert.equal(items[100], '499900 more errors not shown');
  const assembly = await page.evaluate((text) => {
    const started = performance.now();
    window.sqn.assemble(text);
    return performance.now() - started;
  }, bad);
  assert.ok(assembly < 3000, `${assembly} ms to assemble 500,000 bad lines`);

  // About 10 MB of valid text: set, assembled, and a keystroke later, soon.
  const valid = 'tempo 120 4\n' + 'note 0 4   # a comment to make the line longer\n'.repeat(220000);
  await setText(valid);
  await page.waitForFunction(() => document.querySelectorAll('#errors li').length === 0, { timeout: 40000 });
  // Only the lines in view are laid out and numbered, at the top and after a scroll.
  const drawn = await page.$$eval('#song .cm-line', (lines) => lines.length);
  assert.ok(drawn < 200, `${drawn} lines drawn`);
  await page.evaluate(() => {
    const scroller = document.querySelector('#song .cm-scroller');
    scroller.scrollTop = scroller.scrollHeight / 2;
  });
  // (The gutter's first element is a hidden spacer as wide as the widest number.)
  const numbered = () => Array.from(document.querySelectorAll('#song .cm-lineNumbers .cm-gutterElement'))
    .filter((n) => n.style.visibility !== 'hidden').map((n) => Number(n.textContent));
  await page.waitForFunction(`(${numbered})()[0] > 100000`, { timeout: 60000 });
  const shown = await page.evaluate(numbered);
  assert.ok(shown.length < 200 && shown[0] > 100000 && shown[0] < 120000, `gutter shows ${shown[0]} …`);
  await setText('tempo 120 4\nnote 0 4\nwait 0 4\n');
  await page.waitForFunction(() => window.sqnPage.song()?.length === 8, { timeout: 40000 });
});

test('a link made by the page reopens the same song, and a reload restores the text', async () => {
  const text = 'tempo 120 4\npitch 0 C5\nnote 0 4\nwait 0 4  # a link\nloop-end 0 0\n';
  await setText(text);
  // The link and the song both of this text (a link may be written first,
  // by a save an earlier edit set going).
  await page.waitForFunction((t) => window.sqnPage.linkText === t && window.sqnPage.assembledText === t,
    { timeout: 60000 }, text);
  const link = page.url();
  assert.match(link, /#text=[A-Za-z0-9_-]+$/);
  const bytes = await page.evaluate(() => Array.from(window.sqnPage.song()));

  const other = await browser.newPage();
  try {
    await other.evaluateOnNewDocument(() => localStorage.clear());
    await other.goto(link);
    await other.waitForSelector('body[data-ready="true"]');
    assert.equal(await other.$eval('#song', (editor) => editor.value), text);
    await other.waitForFunction(() => window.sqnPage.song());
    assert.deepEqual(await other.evaluate(() => Array.from(window.sqnPage.song())), bytes);
  } finally {
    // A page left open in front would slow the timers of the one under test.
    await other.close();
    await page.bringToFront();
  }

  // A reload of the page without the link: the text typed last is back.
  await page.goto(`${origin}/`);
  await page.waitForSelector('body[data-ready="true"]');
  assert.equal(await page.$eval('#song', (editor) => editor.value), text);

  // Text that deflate cannot shrink below 8 KB makes no link, and says so.
  const noise = crypto.randomBytes(12000).toString('base64').match(/.{1,64}/g).map((line) => `# ${line}\n`).join('');
  await setText(`${text}${noise}`);
  await page.waitForFunction(() => window.sqnPage.linkTooLong > 0, { timeout: 60000 });
  await page.click('#copy-link');
  await page.waitForFunction(() => document.getElementById('message').textContent.includes('too long for a link'));
  assert.equal(new URL(page.url()).hash, '');
  await setText(text);
  await page.waitForFunction((t) => window.sqnPage.linkText === t && window.sqnPage.linkTooLong === 0,
    { timeout: 60000 }, text);
});

test('a link whose song inflates past 16 MiB is refused with a message, and the stored text stays', async () => {
  const text = 'tempo 120 4\npitch 0 E5\nnote 0 4\nwait 0 4  # kept\nloop-end 0 0\n';
  await setText(text);
  await page.waitForFunction((t) => window.sqnPage.linkText === t, { timeout: 60000 }, text);
  // Twenty megabytes of comment lines, deflated to a link of a few kilobytes.
  const bomb = zlib.deflateSync(Buffer.from(`# ${'a'.repeat(4000)}\n`.repeat(5000)), { level: 9 });
  const link = `${origin}/#text=${bomb.toString('base64url')}`;
  assert.ok(link.length < 60000, `${link.length} characters`);
  const other = await browser.newPage();
  try {
    await other.goto(link);
    await other.waitForSelector('body[data-ready="true"]', { timeout: 60000 });
    assert.equal(await other.$eval('#song', (editor) => editor.value), text);
    assert.match(await other.$eval('#message', (message) => message.textContent),
      /longer than 16 MiB of text, more than a song can be: it was not opened/);
    const stored = await other.evaluate(() => JSON.parse(localStorage.getItem('sqn-playground')).text);
    assert.equal(stored, text);
  } finally {
    await other.close();
    await page.bringToFront();
  }
});

test('picking an example asks first when the text has unsaved edits', async () => {
  await page.select('#examples', 'chords');
  await page.waitForFunction(() => document.getElementById('song').value.includes('tempo'));
  const edited = (await page.$eval('#song', (editor) => editor.value)) + '# an edit\n';
  await setText(edited);
  dismissDialogs = true;
  dialogs.length = 0;
  await page.select('#examples', 'groove');
  for (let i = 0; i < 3000 && dialogs.length === 0; ++i) await new Promise((resolve) => setTimeout(resolve, 20));
  dismissDialogs = false;
  assert.equal(dialogs.length, 1);
  assert.equal(await page.$eval('#song', (editor) => editor.value), edited);
  assert.equal(await page.$eval('#examples', (menu) => menu.value), 'chords');
  await page.select('#examples', 'demo');  // and this time yes
  await page.waitForFunction(() => document.getElementById('song').value.startsWith('# '));
  assert.equal(dialogs.length, 2);
});

test('the lanes show every note, and clicking them plays from there, as sqn2wav renders from that frame', async () => {
  await page.select('#examples', 'demo');
  await page.waitForFunction(() => window.sqnPage.map() && window.sqnPage.map().notes.length > 0);
  const demo = fs.readFileSync(path.join(build, 'examples', 'demo.sqn'));
  let noteOns = 0;
  for (let i = 2; i + 3 <= demo.length; i += 3) if (demo[i + 1] === 2 && demo[i] < 6) ++noteOns;
  const map = await page.evaluate(() => window.sqnPage.map());
  assert.equal(map.notes.length, noteOns);
  // Each note is drawn where it plays.
  const drawn = await page.evaluate(() => {
    const canvas = document.getElementById('lanes');
    const graphics = canvas.getContext('2d');
    const { end, notes } = window.sqnPage.map();
    let found = 0;
    for (const note of notes) {
      const x = Math.floor((note.frame / end) * canvas.width) + 1;
      const lane = canvas.height / 6;
      const y = Math.round((note.voice + 1) * lane - 3 - ((lane - 6) * note.pitch) / 80);
      const [r, g, b] = graphics.getImageData(Math.min(x, canvas.width - 1), y, 1, 1).data;
      if (r + g + b > 200) ++found;
    }
    return found;
  });
  assert.equal(drawn, noteOns);

  const box = await (await page.$('#lanes')).boundingBox();
  const clickX = Math.round(box.x + box.width * 0.3);
  await page.mouse.click(clickX, Math.round(box.y + box.height / 2));
  await page.waitForFunction(() => window.sqnPage.audioState() === 'running', { timeout: 60000 });
  // The frame clicked (at 48000 Hz), and where the worklet was sent to play
  // from, at the audio context's own rate.
  const frame = await page.evaluate((x) => {
    const canvas = document.getElementById('lanes').getBoundingClientRect();
    return Math.floor(((x - canvas.left) / canvas.width) * window.sqnPage.map().end);
  }, clickX);
  assert.ok(Math.abs(frame - 0.3 * map.end) < map.end / 100);
  const [started, rate] = await page.evaluate(() => [window.sqnPage.startedFrom, window.sqnPage.rate()]);
  assert.equal(started, Math.round((frame * rate) / 48000));
  const rendered = await page.evaluate((f) => Array.from(window.sqn.renderFrom(window.sqnPage.song(), f, 4096)), frame);
  const wav = nativeWav(demo);
  assert.deepEqual(Buffer.from(rendered), wav.subarray(44 + 4 * frame, 44 + 4 * (frame + 4096)));
  await page.click('#stop');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');
});

test("the lanes mark the song's bars, beats and cues, and the time shows the bar and beat of the song's meter", async () => {
  await page.select('#language', 'mml');
  // Three beats a bar at 120: a beat is 24000 frames, a bar 72000.
  await setText('#meter 3\nA t120 o4 l4 !intro [c e g]2 L !verse [c g e]4\n');
  await page.waitForFunction(() => window.sqnPage.music() && window.sqnPage.music().cues.includes('verse'));
  const music = await page.evaluate(() => window.sqnPage.music());
  assert.deepEqual(music.cues, ['intro', 'verse']);
  assert.equal(music.loop, 2 * 72000);
  assert.deepEqual(music.passed, [[0, 0], [144000, 1]]);
  assert.equal(music.beats.length, 18);
  music.beats.forEach(([frame, bar, beat], i) => {
    assert.ok(Math.abs(frame - 24000 * i) <= 1, `beat ${i} at ${frame}`);
    assert.deepEqual([bar, beat], [Math.floor(i / 3) + 1, (i % 3) + 1]);
  });
  // A bar line at each bar, the verse's cue in its own colour with its name.
  const seen = await page.evaluate(() => {
    const canvas = document.getElementById('lanes');
    const graphics = canvas.getContext('2d');
    const { end } = window.sqnPage.map();
    const at = (frame, y) => Array.from(graphics.getImageData(Math.floor((frame / end) * canvas.width), y, 1, 1).data);
    return { bar: at(72000, 2), between: at(60000, 2), cue: at(144000, 2) };
  });
  assert.notDeepEqual(seen.bar, seen.between);
  assert.ok(seen.cue[0] > 150 && seen.cue[2] > 150, `the cue's line: ${seen.cue}`);
  await page.click('#play');
  await page.waitForFunction(() => / · bar \d+, beat [123]$/.test(window.sqnPage.position()), { timeout: 60000 });
  await page.click('#stop');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');
  await page.select('#language', 'text');
});

test('the line being played is marked and followed; Space pauses and resumes the clock', async () => {
  await page.select('#examples', 'demo');
  await songShown('# The demo');
  await page.click('#play');
  await page.waitForSelector('#song .cm-line.playing', { timeout: 60000 });
  const first = await page.evaluate(() => window.sqnPage.playingLine());
  await page.waitForFunction((line) => window.sqnPage.playingLine() !== line && window.sqnPage.playingLine() > 0,
    { timeout: 60000 }, first);
  const line = await page.evaluate(() => window.sqnPage.playingLine());
  const text = await page.$eval('#song', (editor) => editor.value.split('\n'));
  assert.match(text[line - 1], /^(note|pitch|volume|wait|loop-start|loop-end)\b/);
  assert.match(await page.$eval('#position', (output) => output.value), /pass \d+ · bar \d+, beat \d/);

  await page.click('h1');  // away from the editor
  await page.keyboard.press('Space');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');
  const held = await page.evaluate(() => window.sqnPage.audioTime());
  await new Promise((resolve) => setTimeout(resolve, 300));
  assert.equal(await page.evaluate(() => window.sqnPage.audioTime()), held, 'the clock stands still while paused');
  await page.keyboard.press('Space');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'running');
  await page.waitForFunction((t) => window.sqnPage.audioTime() > t + 0.1, { timeout: 60000 }, held);
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');
});

test('an edit while playing goes on from the same time, and only when the bytes change', async () => {
  await page.select('#examples', 'demo');
  await songShown('# The demo');
  // The clock stands still while stopped: the song's time is the clock's since then.
  const start = await page.evaluate(() => window.sqnPage.audioTime());
  await page.click('#play');
  await page.waitForFunction((t) => window.sqnPage.audioTime() > t + 1.5, { timeout: 60000 }, start);
  const demo = await page.evaluate(() => Array.from(window.sqnPage.playingSong()));
  assert.equal(await page.evaluate(() => window.sqnPage.startedFrom), 0);

  // A comment: the same bytes, nothing heard changes.
  const text = await page.$eval('#song', (editor) => editor.value);
  const commented = `${text}# a comment\n`;
  await setText(commented);
  await page.waitForFunction((t) => window.sqnPage.linkText === t, { timeout: 60000 }, commented);
  assert.equal(await page.evaluate(() => window.sqnPage.startedFrom), 0);
  assert.deepEqual(await page.evaluate(() => Array.from(window.sqnPage.playingSong())), demo);

  // Another bass note: the new song, from where the old one was.
  const changed = commented.replace('pitch 1 C3', 'pitch 1 D3');
  assert.notEqual(changed, commented);
  await setText(changed);
  await page.waitForFunction(() => window.sqnPage.startedFrom > 0, { timeout: 60000 });
  const [from, rate, clock, song] = await page.evaluate(() => [window.sqnPage.startedFrom, window.sqnPage.rate(),
    window.sqnPage.audioTime(), Array.from(window.sqnPage.playingSong())]);
  const now = clock - start;
  assert.notDeepEqual(song, demo);
  assert.deepEqual(song, await page.evaluate(() => Array.from(window.sqnPage.song())));
  // The clock began with the song; the new one starts where the old one had been rendered to, by the clock.
  // (Within the half second a busy machine may keep the worklet's reports back.)
  assert.ok(from / rate > 1.5 && Math.abs(from / rate - now) < 0.5, `from ${from / rate} s at ${now} s`);
  assert.equal(await page.evaluate(() => window.sqnPage.audioState()), 'running');
  await page.click('#stop');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');
});

test('with Loop off, "The song has ended." shows and stays', async () => {
  await setText('tempo 120 4\npitch 0 G5\nnote 0 2\nwait 0 2\nloop-end 0 0\n');
  await songShown('tempo 120 4\npitch 0 G5');
  await page.$eval('#loop', (box) => { box.checked = false; box.dispatchEvent(new Event('change')); });
  await page.click('#play');
  await page.waitForFunction(() => document.getElementById('message').textContent === 'The song has ended.',
    { timeout: 60000 });
  await new Promise((resolve) => setTimeout(resolve, 600));
  assert.equal(await page.$eval('#message', (message) => message.textContent), 'The song has ended.');
  await page.$eval('#loop', (box) => { box.checked = true; box.dispatchEvent(new Event('change')); });
});

// The song the page has compiled from its text, once it has: mml2sqn's of
// the same text, byte for byte.
async function rollSong(expected) {
  await page.waitForFunction((text) => window.sqnPage.text() === text && window.sqnPage.assembledText === text &&
    window.sqnPage.song(), { timeout: 60000 }, expected);
  const bytes = Buffer.from(await page.evaluate(() => Array.from(window.sqnPage.song())));
  assert.deepEqual(bytes, nativeMml(expected), expected);
  return bytes;
}

function nativeMml(text) {
  const input = path.join(work, 'roll.mml');
  const output = path.join(work, 'roll.sqn');
  fs.writeFileSync(input, text);
  execFileSync(path.join(build, 'app', 'mml2sqn'), [input, output], { stdio: ['ignore', 'ignore', 'pipe'] });
  return fs.readFileSync(output);
}

// A drag with the mouse from one point to another.
async function drag(from, to) {
  await page.mouse.move(from.x, from.y);
  await page.mouse.down();
  await page.mouse.move(to.x, to.y, { steps: 4 });
  await page.mouse.up();
}

async function cellOf(beat, note) {
  return page.evaluate((b, n) => window.sqnPage.roll.cell(b, n), beat, note);
}

test('clicks in the piano roll add, move, lengthen and remove notes, writing the least MML, and Ctrl+Z undoes each', async () => {
  const start = 'A o4 l4 c r r r\nB o3 l2 c c\n';
  await page.select('#language', 'mml');
  await page.evaluate((text) => window.sqnPage.setText(text), start);
  await rollSong(start);
  assert.equal(await page.$eval('#roll-panel', (panel) => panel.hidden), false);
  await page.evaluate(() => window.sqnPage.roll.channel('A'));
  await page.select('#roll-length', '8:');

  // A click in the rest at beat 1, an octave up: the rest split, marks about the note.
  let at = await cellOf(1, 'C5');
  await page.mouse.click(at.x, at.y);
  const added = await rollSong('A o4 l4 c >c8< r8 r r\nB o3 l2 c c\n');
  assert.deepEqual(added, nativeMml('A o4 l4 c o5 c8 r8 o4 r r\nB o3 l2 c c\n'), 'the note at beat 1, C5, an eighth');

  // Dragged up a tone: the letter changes.
  at = await cellOf(1, 'C5');
  const to = await cellOf(1, 'D5');
  await drag(at, to);
  await rollSong('A o4 l4 c >d8< r8 r r\nB o3 l2 c c\n');

  // Its end dragged to beat 2: a quarter, the rest after it taken.
  const edge = await cellOf(1.25, 'D5');  // the middle of the next cell: the note's end
  const past = await cellOf(1.75, 'D5');
  await drag({ x: edge.x - 2, y: edge.y }, past);
  await rollSong('A o4 l4 c >d4< r r\nB o3 l2 c c\n');

  // A right-click: a rest of its length, the marks about it gone with it.
  at = await cellOf(1, 'D5');
  await page.mouse.click(at.x, at.y, { button: 'right' });
  await rollSong('A o4 l4 c r4 r r\nB o3 l2 c c\n');

  // Each edit one step of the editor's undo, from the roll.
  await page.focus('#roll');
  for (const text of ['A o4 l4 c >d4< r r\nB o3 l2 c c\n', 'A o4 l4 c >d8< r8 r r\nB o3 l2 c c\n',
    'A o4 l4 c >c8< r8 r r\nB o3 l2 c c\n', start]) {
    await page.keyboard.down('Control');
    await page.keyboard.press('z');
    await page.keyboard.up('Control');
    await rollSong(text);
  }
});

test('a note of a phrase edits every use, and keys enter notes at the cursor, heard as they go in', async () => {
  const start = '$p = c d\nA o4 l8 $p r4 $p\n';
  await page.evaluate((text) => window.sqnPage.setText(text), start);
  await rollSong(start);
  await page.evaluate(() => window.sqnPage.roll.channel('A'));
  await page.select('#roll-length', '8:');
  // The second use's c (beat 2), dragged up to e: both uses change.
  const at = await cellOf(2, 'C4');
  const to = await cellOf(2, 'E4');
  await drag(at, to);
  await rollSong('$p = e d\nA o4 l8 $p r4 $p\n');
  assert.match(await page.$eval('#message', (message) => message.textContent), /every one of its 2 uses/);

  // Channel C has no line yet: keys at the cursor start one, an eighth each.
  await page.evaluate(() => window.sqnPage.roll.channel('C'));
  await page.evaluate(() => window.sqnPage.roll.cursor(1));
  await page.focus('#roll');
  for (const key of ['z', 'x', 'c', 'q']) await page.keyboard.press(key);
  const entered = await rollSong('$p = e d\nA o4 l8 $p r4 $p\nC r4 c8 d8 e8 >c8<\n');
  assert.deepEqual(entered, nativeMml('$p = e d\nA o4 l8 $p r4 $p\nC o4 r4 c8 d8 e8 o5 c8\n'));
  assert.equal(await page.evaluate(() => window.sqnPage.roll.cursorBeat), 3);
  // The roll says where the cursor is, for screen readers.
  assert.match(await page.$eval('#roll-status', (status) => status.textContent), /bar 1, beat 4/);
  await page.select('#language', 'text');
});

test('the roll transposes, copies and pastes a selection, and the instrument panel writes what is drawn', async () => {
  const start = 'A o4 l8 c d e f r2\n';
  await page.evaluate((text) => window.sqnPage.setText(text), start);
  await page.select('#language', 'mml');
  await rollSong(start);
  await page.evaluate(() => window.sqnPage.roll.channel('A'));
  await page.select('#roll-length', '8:');
  // Shift-clicks choose c and d; the up arrow takes them a semitone up.
  for (const [beat, note] of [[0, 'C4'], [0.5, 'D4']]) {
    const at = await cellOf(beat, note);
    await page.keyboard.down('Shift');
    await page.mouse.click(at.x, at.y);
    await page.keyboard.up('Shift');
  }
  await page.keyboard.press('ArrowUp');
  await rollSong('A o4 l8 c+ d+ e f r2\n');
  // Copied, and pasted at the cursor (beat 2): into the rest, as one edit.
  await page.keyboard.down('Control');
  await page.keyboard.press('c');
  await page.keyboard.up('Control');
  await page.evaluate(() => window.sqnPage.roll.cursor(2));
  await page.focus('#roll');
  await page.keyboard.down('Control');
  await page.keyboard.press('v');
  await page.keyboard.up('Control');
  await rollSong('A o4 l8 c+ d+ e f c+8 d+8 r4\n');
  await page.keyboard.down('Control');
  await page.keyboard.press('z');
  await page.keyboard.up('Control');
  await rollSong('A o4 l8 c+ d+ e f r2\n');

  // Drawn on the volume graph, ticks 0 to 2: an envelope defined and used.
  const drawn = async (letter, points) => {
    const spots = await page.evaluate((l, p) => p.map(([tick, value]) => window.sqnPage.instruments.point(l, tick, value)),
      letter, points);
    await page.mouse.move(spots[0].x, spots[0].y);
    await page.mouse.down();
    for (const spot of spots.slice(1)) await page.mouse.move(spot.x, spot.y);
    await page.mouse.up();
  };
  await drawn('v', [[0, 15], [1, 10], [2, 5]]);
  await rollSong('@v1 = { 15 10 5 }\nA @v1 o4 l8 c+ d+ e f r2\n');
  await drawn('v', [[1, 0]]);
  await rollSong('@v1 = { 15 0 5 }\nA @v1 o4 l8 c+ d+ e f r2\n');
  await drawn('a', [[0, 0], [1, 4], [2, 7]]);
  await rollSong('@v1 = { 15 0 5 }\n@a1 = { 0 +4 +7 }\nA @a1 @v1 o4 l8 c+ d+ e f r2\n');

  // f dragged a beat later: a rest where it was, and in the rest it lands in.
  const f = await cellOf(1.5, 'F4');
  const later = await cellOf(2.5, 'F4');
  await drag(f, later);
  await rollSong('@v1 = { 15 0 5 }\n@a1 = { 0 +4 +7 }\nA @a1 @v1 o4 l8 c+ d+ e r8 r8 f8 r4\n');
  // e chosen and Delete pressed.
  const e = await cellOf(1, 'E4');
  await page.mouse.click(e.x, e.y);
  await page.keyboard.press('Delete');
  await rollSong('@v1 = { 15 0 5 }\n@a1 = { 0 +4 +7 }\nA @a1 @v1 o4 l8 c+ d+ r8 r8 r8 f8 r4\n');
});

test('bars dragged across on the roll\'s ruler play round, and the link stays short or says why not', async () => {
  const start = 'A t240 o4 l4 c d e f g a b >c< c d e f\n';
  await page.evaluate((text) => window.sqnPage.setText(text), start);
  await page.select('#language', 'mml');
  await rollSong(start);
  await page.evaluate(() => window.sqnPage.roll.channel('A'));
  const from = await cellOf(4.2, 'C4');
  const to = await cellOf(7.5, 'C4');
  const top = await page.$eval('#roll', (roll) => roll.getBoundingClientRect().top);
  await drag({ x: from.x, y: top + 6 }, { x: to.x, y: top + 6 });
  // Bar 2 (a second at 240 beats a minute) played round, three times.
  await page.waitForFunction(() => window.sqnPage.loop() && window.sqnPage.loop().rounds >= 3, { timeout: 60000 });
  const loop = await page.evaluate(() => window.sqnPage.loop());
  assert.deepEqual(loop.frames, [48000, 96000]);
  assert.equal(loop.bars, '2');
  assert.match(await page.$eval('#message', (message) => message.textContent), /Playing bars 2 round/);
  assert.match(await page.$eval('#position', (output) => output.value), /bar 2, beat \d/);
  await page.click('#stop');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');

  // A short song's link is made; a song whose link would pass 2,000 characters is told.
  await page.waitForFunction((t) => window.sqnPage.linkText === t && window.sqnPage.linkTooLong === 0 &&
    location.href.length <= 2000, { timeout: 60000 }, start);
  let seed = 7;
  const random = () => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed >> 8; };
  const long = `A l16 ${Array.from({ length: 6000 }, () => 'cdefgab'[random() % 7] + ['', '8', '4'][random() % 3]).join(' ')}\n`;
  await page.evaluate((text) => window.sqnPage.setText(text), long);
  await page.waitForFunction(() => window.sqnPage.linkTooLong > 2000, { timeout: 60000 });
  assert.equal(await page.evaluate(() => location.hash), '');
  await page.click('#copy-link');
  await page.waitForFunction(() => /too long for a link: its link would be [\d,]+ characters/.test(
    document.getElementById('message').textContent), { timeout: 60000 });
  await page.select('#language', 'text');
});

// bench/run's 3-minute song: six channels of bars of sixteenths, eighths
// and a bass, with envelopes (624 lines, 178 s at 140 beats a minute).
function threeMinuteSong() {
  const lines = ['@v1 = { 15 13 11 | 10 9 }', '@a1 = { | 0 4 7 }', '@v2 = { 15 10 6 3 0 }', 'A t140 o5 l16 @v1 v13',
    'B o3 l8 v12', 'C o4 l16 @a1 v9', 'D o4 l4 v8', 'E o6 l16 @v2 v10', 'F o3 l8 v14'];
  const notes = ['c', 'd', 'e', 'f', 'g', 'a', 'b'];
  for (let i = 0; i < 624; ++i) {
    const channel = 'ABCDEF'[i % 6];
    const count = { A: 16, B: 8, C: 16, D: 4, E: 16, F: 8 }[channel];
    const bar = [];
    for (let j = 0; j < count; ++j) {
      const index = channel === 'A' ? i * 7 + j * 3 : channel === 'B' || channel === 'F' ? i + j * 5
        : channel === 'C' || channel === 'E' ? i * 3 + j : i + j * 2;
      bar.push(notes[index % 7]);
    }
    lines.push(`${channel} ${bar.join(' ')}`);
  }
  return `${lines.join('\n')}\n`;
}

test('how long a key in a 3-minute song takes to be heard (20 keys), and the roll to draw at any zoom, is reported', async () => {
  const song = threeMinuteSong();
  await page.evaluate((text) => window.sqnPage.setText(text), song);
  await page.select('#language', 'mml');
  await rollSong(song);
  await page.evaluate(() => window.sqnPage.roll.channel('A'));
  const start = await page.evaluate(() => window.sqnPage.audioTime());
  await page.click('#play');
  await page.waitForFunction((t) => window.sqnPage.audioTime() > t + 0.2, { timeout: 60000 }, start);
  await page.evaluate(() => document.addEventListener('keydown', () => { window.keyAt = performance.now(); }, true));
  const delays = [];
  for (let i = 0; i < 20; ++i) {
    const line = 10 + 6 * (i + 5);  // a line of channel A
    await page.evaluate((l) => window.sqnPage.goTo(l, 3), line);
    await page.keyboard.down('Shift');
    await page.keyboard.press('ArrowRight');
    await page.keyboard.up('Shift');
    const text = await page.evaluate(() => window.sqnPage.text());
    const letter = text.split('\n')[line - 1][2] === 'g' ? 'a' : 'g';
    await page.keyboard.press(letter);
    await page.waitForFunction(() => window.sqnPage.sentAt > window.keyAt &&
      window.sqnPage.assembledText === window.sqnPage.text(), { timeout: 60000 });
    delays.push(await page.evaluate(() => window.sqnPage.sentAt - window.keyAt));
  }
  delays.sort((a, b) => a - b);
  const median = (delays[9] + delays[10]) / 2;
  // Reported, not judged: a timed assertion would fail on a busy machine.
  console.log(`# key to the new song playing, 3-minute song: median ${median.toFixed(0)} ms, worst ${delays[19].toFixed(0)} ms` +
    ' (goals 100 and 200)');
  // Drawn at every zoom, the whole song in view or a beat.
  const draws = await page.evaluate(() => {
    const { roll } = window.sqnPage;
    const times = [];
    for (const factor of [1, 0.1, 0.1, 0.1, 100, 100]) {
      roll.zoom(factor);
      const before = performance.now();
      roll.draw();
      times.push(performance.now() - before);
    }
    return times;
  });
  console.log(`# roll drawn in ${draws.map((time) => time.toFixed(1)).join(', ')} ms at six zooms (goal 16)`);
  await page.click('#stop');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');
  await page.select('#language', 'text');
});

test('every control is reached by Tab with a name and a visible focus; the roll is shown on a desktop and a phone', async () => {
  const song = '#title "Roll"\n@v1 = { 15 12 9 | 7 }\nA t150 o4 l8 @v1 c e g >c< r2 [g e]2\nB o3 l4 c c g g\nE l8 [c r]4\n';
  await page.evaluate((text) => window.sqnPage.setText(text), song);
  await page.select('#language', 'mml');
  await rollSong(song);
  await page.evaluate(() => window.sqnPage.roll.channel('A'));
  const controls = await page.evaluate(() => {
    const all = [...document.querySelectorAll('button, select, input, a[href], [tabindex="0"], .cm-content')];
    return all.filter((element) => element.type === 'file' || element.getClientRects().length > 0)
      .filter((element) => !element.disabled).map((element, i) => {
        element.dataset.tabKey = `${i}: ${element.id || element.getAttribute('aria-label') || element.textContent}`;
        return element.dataset.tabKey;
      });
  });
  await page.evaluate(() => { document.activeElement.blur(); window.scrollTo(0, 0); });
  const reached = new Map();
  for (let i = 0; i < 80; ++i) {
    await page.keyboard.press('Tab');
    const focused = await page.evaluate(async () => {
      // The editor marks itself focused once it has seen the focus.
      await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
      const element = document.activeElement;
      const named = element.getAttribute('aria-label') || element.closest('label')?.textContent ||
        element.getAttribute('title') || element.textContent;
      const style = getComputedStyle(element.classList.contains('cm-content') ? element.closest('.cm-editor')
        : element.type === 'file' ? element.closest('label') : element);
      return { key: element.dataset.tabKey || element.outerHTML.slice(0, 60), name: (named || '').trim(),
        outline: style.outlineStyle !== 'none' && parseFloat(style.outlineWidth) > 0,
        editor: element.classList.contains('cm-content') };
    });
    if (reached.has(focused.key)) break;
    reached.set(focused.key, focused);
    // Tab indents in the editor: Escape first lets it move on.
    if (focused.editor) await page.keyboard.press('Escape');
  }
  for (const control of controls) {
    const focused = reached.get(control);
    assert.ok(focused, `${control} is reached by Tab`);
    assert.ok(focused.name.length > 0, `${control} has a name`);
    assert.ok(focused.outline, `${control} shows its focus`);
  }
  // Zoomed by its button and by Ctrl+wheel: a beat wider each time.
  const beatWidth = () => page.evaluate(() => {
    const first = window.sqnPage.roll.cell(0, 'C4').x;  // scrolled to the start first, so both are in view
    return window.sqnPage.roll.cell(1, 'C4').x - first;
  });
  // From 32 pixels a beat, whatever zoom an earlier test left.
  await page.evaluate((width) => window.sqnPage.roll.zoom(32 / width), await beatWidth());
  const before = await beatWidth();
  assert.ok(Math.abs(before - 32) < 0.01);
  await page.click('#roll-zoom-in');
  assert.ok(Math.abs(await beatWidth() - 1.5 * before) < 0.01);
  const middle = await cellOf(0.5, 'C4');
  await page.mouse.move(middle.x, middle.y);
  await page.keyboard.down('Control');
  await page.mouse.wheel({ deltaY: -100 });
  await page.keyboard.up('Control');
  assert.ok(Math.abs(await beatWidth() - 1.875 * before) < 0.01);
  await page.click('#roll-zoom-out');
  await page.click('#roll-zoom-out');

  // The roll tells a screen reader the note chosen.
  const at = await cellOf(0.5, 'E4');
  await page.mouse.click(at.x, at.y);
  assert.equal(await page.$eval('#roll-status', (status) => status.textContent), 'E4, bar 1, beat 1, length 8.');
  assert.equal(await page.evaluate(() => window.sqnPage.text()), song);

  await page.evaluate(() => document.getElementById('roll').scrollIntoView({ block: 'center' }));
  await page.screenshot({ path: path.join(here, '..', 'screenshot-roll.png') });
  await page.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
  await page.evaluate(async () => {
    await new Promise((resolve) => requestAnimationFrame(resolve));
    window.sqnPage.roll.draw();
    document.getElementById('roll').scrollIntoView({ block: 'center' });
    await new Promise((resolve) => requestAnimationFrame(resolve));
  });
  await page.screenshot({ path: path.join(here, '..', 'screenshot-phone.png') });
  await page.setViewport({ width: 1100, height: 760 });
  await page.select('#language', 'text');
});

test('Play starts the audio clock and Stop stops it', async () => {
  await page.select('#examples', 'demo');
  await songShown('# The demo');
  const start = await page.evaluate(() => window.sqnPage.audioTime());
  await page.click('#play');
  await page.waitForFunction((t) => window.sqnPage.audioTime() > t + 0.3, { timeout: 60000 }, start);
  await page.waitForFunction(() => document.getElementById('position').value.includes('pass 1'), { timeout: 60000 });
  // A few bars in, for the screenshot: the line being played, the playhead in the lanes.
  await page.waitForFunction((t) => window.sqnPage.audioTime() > t + 4, { timeout: 60000 }, start);
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({ path: path.join(here, '..', 'screenshot.png') });
  const playing = await page.evaluate(() => window.sqnPage.audioTime());
  // The clock runs while playing (however busy the machine, within a minute).
  await page.waitForFunction((t) => window.sqnPage.audioTime() > t, { timeout: 60000 }, playing);

  await page.click('#stop');
  await page.waitForFunction(() => window.sqnPage.audioState() === 'suspended');
  const stopped = await page.evaluate(() => window.sqnPage.audioTime());
  await new Promise((resolve) => setTimeout(resolve, 300));
  assert.equal(await page.evaluate(() => window.sqnPage.audioTime()), stopped, 'the clock stands still once stopped');
  assert.deepEqual(problems, []);
});
