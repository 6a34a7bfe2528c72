// The npm package sqn-player as a game maker takes it: a scratch game
// installs the tarball `make npm` packs (from the file, no registry),
// imports it, is bundled by esbuild with the two files the README says to
// copy, and runs in headless Chromium (Debian's, through puppeteer-core).
// Its WAV files are sqn2wav's byte for byte; its players, rendered through
// an OfflineAudioContext at 48000 Hz, are sqn2wav's samples from the start,
// from a seek and with a voice muted, two of them mixing on one context;
// 'ended' comes; a live context plays on, pauses and stops; mistakes reject
// with their line and column. A small TypeScript game checks the types with
// tsc --strict.
//   node package.test.mjs TARBALL NATIVE_BUILD_DIR
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchChromium, serveFolder } from './browser.mjs';

const [tarball, build] = process.argv.slice(2).map((file) => path.resolve(file));
const here = path.dirname(fileURLToPath(import.meta.url));
const bin = path.join(here, 'node_modules', '.bin');
const examples = path.join(here, '..', '..', 'examples');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'sqn-game-'));
const game = path.join(work, 'game');
const dist = path.join(game, 'dist');

let server;
let browser;
let page;
const problems = [];  // console errors and page errors

function native(program, args) {
  return execFileSync(path.join(build, 'app', program), args);
}

// A song's bytes as sqnasm makes them, and sqn2wav's file for it.
function song(name) {
  const output = path.join(work, `${name}.sqn`);
  native('sqnasm', [path.join(examples, `${name}.txt`), output]);
  return fs.readFileSync(output);
}

function nativeWav(bytes, options = []) {
  const input = path.join(work, 'native.sqn');
  const output = path.join(work, 'native.wav');
  fs.writeFileSync(input, bytes);
  native('sqn2wav', [...options, input, output]);
  return fs.readFileSync(output);
}

const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

// The game: what a test asks of it is on window.game. The players render
// through OfflineAudioContexts, whose output is taken to 16 bits as
// sqn2wav takes its mix (limited to ±1, times 32767 in single precision,
// cut toward zero) and hashed.
const gameSource = `
import { SqnPlayer, SqnSongError, assemble, compileMml, renderWav } from 'sqn-player';

async function hash(bytes) {
  const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
}

function s16(buffer) {
  const left = buffer.getChannelData(0);
  const right = buffer.getChannelData(1);
  const out = new Int16Array(2 * buffer.length);
  const take = (x) => Math.trunc(Math.fround(Math.min(1, Math.max(-1, x)) * 32767));
  for (let i = 0; i < buffer.length; ++i) {
    out[2 * i] = take(left[i]);
    out[2 * i + 1] = take(right[i]);
  }
  return new Uint8Array(out.buffer);
}

// Each player: {song, seek, muted: [voices], loop}; all on one context.
async function render(players, frames) {
  const context = new OfflineAudioContext(2, frames, 48000);
  const made = [];
  for (const { song, seek, muted = [], loop = false, buffer = false } of players) {
    const bytes = Uint8Array.from(song);
    const player = await SqnPlayer.create(context, buffer ? bytes.buffer : bytes, { loop });
    player.connect(context.destination);
    for (const voice of muted) player.setMuted(voice, true);
    if (seek) player.seek(seek);
    await player.play();
    made.push(player);
  }
  return { buffer: await context.startRendering(), players: made };
}

async function mistake(call) {
  try {
    await call();
    return 'no error';
  } catch (error) {
    return { name: error.name, isSongError: error instanceof SqnSongError, line: error.line ?? null,
             column: error.column ?? null, message: error.message, count: error.errors ? error.errors.length : 0 };
  }
}

window.game = {
  async wav(song, options) {
    return hash(await renderWav(Uint8Array.from(song), options));
  },
  async rendered(players, frames) {
    const { buffer } = await render(players, frames);
    return hash(s16(buffer));
  },
  // Whether two players on one context sound as each alone, added.
  async mixed(a, b, frames) {
    const [one, two, both] = await Promise.all([render([a], frames), render([b], frames), render([a, b], frames)]);
    let differ = 0;
    let heard = 0;
    for (let c = 0; c < 2; ++c) {
      const [x, y, z] = [one, two, both].map((r) => r.buffer.getChannelData(c));
      for (let i = 0; i < frames; ++i) {
        if (Math.fround(x[i] + y[i]) !== z[i]) ++differ;
        if (x[i] !== 0 && y[i] !== 0) ++heard;
      }
    }
    return { differ, heard };
  },
  async ended(song) {
    const context = new OfflineAudioContext(2, 96000, 48000);
    const player = await SqnPlayer.create(context, Uint8Array.from(song));
    player.connect(context.destination);
    const ended = new Promise((resolve) => player.addEventListener('ended', () => resolve(true)));
    await player.play();
    await context.startRendering();
    const told = await Promise.race([ended, new Promise((resolve) => setTimeout(() => resolve(false), 5000))]);
    return { told, playing: player.playing, position: player.position, duration: player.duration };
  },
  async live(song) {
    const context = new AudioContext({ sampleRate: 48000 });
    const player = await SqnPlayer.create(context, Uint8Array.from(song), { loop: true });
    player.connect(context.destination);
    const wait = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    const seen = { duration: player.duration, loop: player.loop, atStart: player.position };
    await player.play();
    await wait(600);
    seen.playing = player.position;
    player.pause();
    seen.paused = player.position;
    await wait(300);
    seen.stillPaused = player.position;
    player.seek(12);
    seen.seeked = player.position;
    await player.play();
    await wait(400);
    seen.after = player.position;
    player.stop();
    seen.stopped = player.position;
    seen.playingAfterStop = player.playing;
    player.close();
    await context.close();
    return seen;
  },
  mml: (text) => compileMml(text).then((bytes) => Array.from(bytes)),
  assembled: (text) => assemble(text).then((bytes) => Array.from(bytes)),
  mmlMistake: (text) => mistake(() => compileMml(text)),
  textMistake: (text) => mistake(() => assemble(text)),
  async badSong(bytes) {
    return mistake(() => SqnPlayer.create(new OfflineAudioContext(2, 128, 48000), Uint8Array.from(bytes)));
  },
  async badOptions(song, options) {
    return mistake(() => renderWav(Uint8Array.from(song), options));
  },
};
document.body.dataset.ready = 'true';
`;

// A small game in TypeScript, for tsc --strict: the API as the types give
// it, and calls they must refuse.
const typedSource = `
import { SqnPlayer, SqnSongError, assemble, compileMml, renderWav, type RenderOptions } from 'sqn-player';

export async function start(context: AudioContext, file: ArrayBuffer): Promise<number> {
  const music = await SqnPlayer.create(context, file, { loop: true });
  const jingle = await SqnPlayer.create(context, await compileMml('A t140 l8 o5 c d e g'));
  const volume = music.connect(new GainNode(context));
  volume.connect(context.destination);
  jingle.connect(context.destination);
  await music.play();
  music.pause();
  music.seek(1.5);
  music.loop = !music.loop;
  music.setMuted(4, true);
  jingle.addEventListener('ended', () => jingle.stop());
  const options: RenderOptions = { loops: 2, fade: 3, voices: [0, 4] };
  const wav: Uint8Array = await renderWav(file, options);
  try {
    await assemble('tempo x');
  } catch (error) {
    if (error instanceof SqnSongError) return error.line + error.column + error.errors.length + error.message.length;
  }
  // @ts-expect-error seek takes seconds
  music.seek('soon');
  // @ts-expect-error a player is made by create
  new SqnPlayer();
  return wav.length + music.position + music.duration + (music.playing ? 1 : 0);
}
`;

before(async () => {
  fs.mkdirSync(dist, { recursive: true });
  fs.writeFileSync(path.join(game, 'package.json'),
    JSON.stringify({ name: 'scratch-game', private: true, type: 'module' }, null, 2));
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error',
    '--cache', path.join(work, 'npm-cache'), tarball], { cwd: game, stdio: ['ignore', 'ignore', 'inherit'] });
  fs.writeFileSync(path.join(game, 'game.js'), gameSource);
  execFileSync(path.join(bin, 'esbuild'), ['game.js', '--bundle', '--format=esm', '--log-level=warning',
    '--outfile=dist/game.js'], { cwd: game, stdio: ['ignore', 'ignore', 'inherit'] });
  for (const file of ['sqn.wasm', 'worklet.js']) {
    fs.copyFileSync(path.join(game, 'node_modules', 'sqn-player', file), path.join(dist, file));
  }
  fs.writeFileSync(path.join(dist, 'index.html'),
    '<!doctype html><title>game</title><link rel="icon" href="data:,"><body><script type="module" src="game.js"></script></body>\n');

  let origin;
  ({ server, origin } = await serveFolder(dist));
  browser = await launchChromium(path.join(work, 'profile'));
  page = await browser.newPage();
  page.on('console', (entry) => { if (entry.type() === 'error') problems.push(`console: ${entry.text()}`); });
  page.on('pageerror', (error) => problems.push(`page: ${error.message}`));
  page.on('response', (response) => { if (response.status() >= 400) problems.push(`${response.status()}: ${response.url()}`); });
  await page.goto(`${origin}/`);
  await page.waitForSelector('body[data-ready="true"]', { timeout: 15000 });
});

after(async () => {
  await browser?.close();
  server?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

test('the package holds its module, types, README, worklet and WebAssembly, at the library\'s version', () => {
  const installed = path.join(game, 'node_modules', 'sqn-player');
  const manifest = JSON.parse(fs.readFileSync(path.join(installed, 'package.json'), 'utf8'));
  const version = native('mml2sqn', ['--version']).toString().trim().split(' ').pop();
  assert.equal(manifest.version, version);
  assert.equal(path.basename(tarball), `sqn-player-${version}.tgz`);
  for (const file of ['index.js', 'index.d.ts', 'sqn-wasm.js', 'worklet.js', 'sqn.wasm', 'README.md']) {
    assert.ok(fs.existsSync(path.join(installed, file)), file);
  }
});

test('the types check a small TypeScript game with tsc --strict', () => {
  fs.writeFileSync(path.join(game, 'typed.ts'), typedSource);
  fs.writeFileSync(path.join(game, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { strict: true, noEmit: true, target: 'es2022', module: 'es2022',
      moduleResolution: 'bundler', lib: ['es2022', 'dom'] },
    files: ['typed.ts'],
  }));
  execFileSync(path.join(bin, 'tsc'), ['-p', 'tsconfig.json'], { cwd: game, stdio: ['ignore', 'inherit', 'inherit'] });
});

test("renderWav gives sqn2wav's files, with its --loops, --fade and --voices", async () => {
  const demo = song('demo');
  assert.equal(await page.evaluate((s) => window.game.wav(s), [...demo]), sha256(nativeWav(demo)));
  const loops = song('loops');
  assert.equal(await page.evaluate((s) => window.game.wav(s, { loops: 2, fade: 1.5, voices: [0, 4] }), [...loops]),
    sha256(nativeWav(loops, ['--loops', '2', '--fade', '1.5', '--voices', '0,4'])));
  assert.deepEqual(await page.evaluate((s) => window.game.badOptions(s, { loops: 0 }), [...loops]), {
    name: 'RangeError', isSongError: false, line: null, column: null,
    message: 'loops takes a whole number of passes, 1 … 65535, found 0', count: 0,
  });
});

test("a player sounds as sqn2wav renders, from the start, from a seek and with a voice muted", async () => {
  const demo = song('demo');
  const frames = 4 * 48000;
  const data = (wav, from) => wav.subarray(44 + 4 * from, 44 + 4 * (from + frames));
  const whole = nativeWav(demo);
  assert.equal(await page.evaluate((s, n) => window.game.rendered([{ song: s }], n), [...demo], frames),
    sha256(data(whole, 0)));
  // 2.5 s in, exactly as if played up to there.
  assert.equal(await page.evaluate((s, n) => window.game.rendered([{ song: s, seek: 2.5 }], n), [...demo], frames),
    sha256(data(whole, 120000)));
  // The melody and the kick muted: sqn2wav --voices 1,2,3,4 (the song
  // given as an ArrayBuffer).
  assert.equal(await page.evaluate((s, n) => window.game.rendered([{ song: s, muted: [0, 5], buffer: true }], n), [...demo], frames),
    sha256(data(nativeWav(demo, ['--voices', '1,2,3,4']), 0)));
});

test('two players on one context (music and a jingle) mix as each alone', async () => {
  const result = await page.evaluate((a, b) => window.game.mixed({ song: a }, { song: b, seek: 1 }, 96000),
    [...song('demo')], [...song('groove')]);
  assert.equal(result.differ, 0);
  assert.ok(result.heard > 10000, `both heard together in ${result.heard} samples`);
});

test("'ended' comes once a song without loop has finished", async () => {
  // Half a second: a note, four rows at 120 beats a minute and 8 rows a beat, the end.
  const short = [120, 8, 0, 2, 2, 0, 1, 4, 0, 6, 0];
  const result = await page.evaluate((s) => window.game.ended(s), short);
  assert.equal(result.told, true);
  assert.equal(result.playing, false);
  assert.equal(result.position, result.duration);
  assert.ok(Math.abs(result.duration - 0.25) < 0.01, `duration ${result.duration}`);
});

test('on a live context a player plays on, holds while paused, seeks and stops at the start', async () => {
  const seen = await page.evaluate((s) => window.game.live(s), [...song('demo')]);
  assert.ok(Math.abs(seen.duration - 30) < 0.1, `duration ${seen.duration}`);
  assert.equal(seen.loop, true);
  assert.equal(seen.atStart, 0);
  assert.ok(seen.playing > 0.2 && seen.playing < 1.5, `after 0.6 s: ${seen.playing}`);
  assert.equal(seen.stillPaused, seen.paused);
  assert.equal(seen.seeked, 12);
  assert.ok(seen.after > 12.1 && seen.after < 13.5, `after the seek: ${seen.after}`);
  assert.equal(seen.stopped, 0);
  assert.equal(seen.playingAfterStop, false);
});

test('compileMml and assemble give the programs\' songs, or reject with line, column and message', async () => {
  const mml = path.join(work, 'tune.mml');
  fs.copyFileSync(path.join(examples, 'tune.mml'), mml);
  native('mml2sqn', [mml, path.join(work, 'tune.sqn')]);
  const text = fs.readFileSync(mml, 'utf8');
  assert.deepEqual(await page.evaluate((t) => window.game.mml(t), text), [...fs.readFileSync(path.join(work, 'tune.sqn'))]);
  assert.deepEqual(await page.evaluate((t) => window.game.assembled(t), fs.readFileSync(path.join(examples, 'demo.txt'), 'utf8')),
    [...song('demo')]);

  assert.deepEqual(await page.evaluate(() => window.game.mmlMistake('A o4 c x\nB o9 c\n')), {
    name: 'SqnSongError', isSongError: true, line: 1, column: 8, count: 2,
    message: "expected a command (c d e f g a b r o < > l t v V q k @v @a [ | ] L $ & ^), found 'x'",
  });
  assert.deepEqual(await page.evaluate(() => window.game.textMistake('tempo 120 4\nnote 0 x\n')), {
    name: 'SqnSongError', isSongError: true, line: 2, column: 8, count: 1,
    message: "expected a gate length in rows, 0 … 255, found 'x'",
  });
  assert.deepEqual(await page.evaluate(() => window.game.badSong([1])), {
    name: 'Error', isSongError: false, line: null, column: null, count: 0,
    message: 'failed to load .sqn file.',
  });
});

test('nothing went wrong on the page', () => {
  assert.deepEqual(problems, []);
});
