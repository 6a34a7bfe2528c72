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
let origin;
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
    // Waits for the audio clock, however busy the machine (a minute at most).
    const wait = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    const audioPast = async (seconds) => {
      const until = context.currentTime + seconds;
      for (let i = 0; i < 3000 && context.currentTime < until; ++i) await wait(20);
      return context.currentTime;
    };
    const seen = { duration: player.duration, loop: player.loop, atStart: player.position };
    await player.play();
    const began = context.currentTime;
    seen.clock = (await audioPast(0.6)) - began;
    seen.playing = player.position;
    player.pause();
    seen.paused = player.position;
    await wait(300);
    seen.stillPaused = player.position;
    player.seek(12);
    seen.seeked = player.position;
    await player.play();
    const resumed = context.currentTime;
    seen.clockAfter = (await audioPast(0.4)) - resumed;
    seen.after = player.position;
    player.stop();
    seen.stopped = player.position;
    seen.playingAfterStop = player.playing;
    player.close();
    await context.close();
    return seen;
  },
  // Players made, played and closed one after another on one context, as
  // a game plays its sound effects: how many, and the worklet's memory
  // after the first hundred and at the end.
  async churn(song, cycles) {
    const context = new AudioContext({ sampleRate: 48000 });
    let memory = 0;
    let early = 0;
    for (let i = 0; i < cycles; ++i) {
      const player = await SqnPlayer.create(context, Uint8Array.from(song));
      player.node.port.addEventListener('message', (event) => { if (event.data.memory) memory = event.data.memory; });
      player.connect(context.destination);
      await player.play();
      player.close();
      if (i === 99) early = memory;
    }
    await context.close();
    return { early, late: memory };
  },
  // Fresh offline contexts, each a seek and then play: how many rendered
  // silence, and the samples of the first.
  async seekThenPlay(song, seconds, frames, runs) {
    let silent = 0;
    let first = null;
    for (let i = 0; i < runs; ++i) {
      const { buffer } = await render([{ song, seek: seconds }], frames);
      const left = buffer.getChannelData(0);
      if (left.every((x) => x === 0)) ++silent;
      if (!first) first = await hash(s16(buffer));
    }
    return { silent, first };
  },
  async badSeek(song, seconds) {
    const player = await SqnPlayer.create(new OfflineAudioContext(2, 128, 48000), Uint8Array.from(song), { loop: true });
    return mistake(async () => player.seek(seconds));
  },
  // The samples of an offline render, as sqn2wav's 16-bit bytes.
  async samples(players, frames) {
    const { buffer } = await render(players, frames);
    return Array.from(s16(buffer));
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
  const wav = await renderWav(file, options);
  // The web's own APIs take what the package gives.
  const blob = new Blob([wav], { type: 'audio/wav' });
  await fetch('/upload', { method: 'POST', body: wav });
  const decoded: AudioBuffer = await context.decodeAudioData(wav.buffer);
  const song = await compileMml('A c');
  new Blob([song]);
  try {
    await assemble('tempo x');
  } catch (error) {
    if (error instanceof SqnSongError) return error.line + error.column + error.errors.length + error.message.length;
  }
  // @ts-expect-error seek takes seconds
  music.seek('soon');
  // @ts-expect-error a player is made by create
  new SqnPlayer();
  return wav.length + blob.size + decoded.length + music.position + music.duration + (music.playing ? 1 : 0);
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
  for (const file of ['index.js', 'index.d.ts', 'sqn-wasm.js', 'worklet.js', 'sqn.wasm', 'README.md', 'LICENSE',
    'THIRD-PARTY-LICENSES.txt']) {
    assert.ok(fs.existsSync(path.join(installed, file)), file);
  }
  // MIT, said in the manifest, the README and the licence itself.
  assert.equal(manifest.license, 'MIT');
  assert.match(fs.readFileSync(path.join(installed, 'LICENSE'), 'utf8'), /^MIT License\n\nCopyright \(c\) \d{4} the sqn2wav authors/);
  assert.match(fs.readFileSync(path.join(installed, 'README.md'), 'utf8'), /## Licence\n\nMIT/);
  assert.match(fs.readFileSync(path.join(installed, 'THIRD-PARTY-LICENSES.txt'), 'utf8'), /musl libc \(MIT\)/);
});

test('the types check a small TypeScript game with tsc --strict, TypeScript 5.9 and 7', () => {
  fs.writeFileSync(path.join(game, 'typed.ts'), typedSource);
  fs.writeFileSync(path.join(game, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { strict: true, noEmit: true, target: 'es2022', module: 'es2022',
      moduleResolution: 'bundler', lib: ['es2022', 'dom'] },
    files: ['typed.ts'],
  }));
  for (const typescript of ['typescript', 'typescript7']) {
    const tsc = path.join(here, 'node_modules', typescript, 'bin', 'tsc');
    execFileSync(process.execPath, [tsc, '-p', 'tsconfig.json'], { cwd: game, stdio: ['ignore', 'inherit', 'inherit'] });
  }
});

test("the README's copy line for esbuild works in an npm script", () => {
  const readme = fs.readFileSync(path.join(game, 'node_modules', 'sqn-player', 'README.md'), 'utf8');
  const line = readme.split('\n').map((text) => text.trim().replace(/^`|`$/g, '')).find((text) => text.startsWith('cp '));
  assert.ok(line, 'a cp line');
  const copied = path.join(game, 'copied');
  fs.mkdirSync(copied, { recursive: true });
  const manifest = JSON.parse(fs.readFileSync(path.join(game, 'package.json'), 'utf8'));
  manifest.scripts = { copy: line.replace(/ dist\/$/, ' copied/') };
  fs.writeFileSync(path.join(game, 'package.json'), JSON.stringify(manifest, null, 2));
  execFileSync('npm', ['run', '--silent', 'copy'], { cwd: game, stdio: ['ignore', 'ignore', 'inherit'] });
  assert.deepEqual(fs.readdirSync(copied).sort(), ['sqn.wasm', 'worklet.js']);
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
  // Where the audio clock says it should be: a render quantum or a report
  // behind at most.
  assert.ok(Math.abs(seen.playing - seen.clock) < 0.3, `after ${seen.clock} s of audio: ${seen.playing}`);
  assert.equal(seen.stillPaused, seen.paused);
  assert.equal(seen.seeked, 12);
  assert.ok(Math.abs(seen.after - 12 - seen.clockAfter) < 0.3, `${seen.clockAfter} s after the seek: ${seen.after}`);
  assert.equal(seen.stopped, 0);
  assert.equal(seen.playingAfterStop, false);
});

test('a game may make, play and close a player for every sound, two thousand times, in flat memory', async () => {
  const jingle = [...fs.readFileSync(path.join(build, 'examples', 'loops.sqn'))];
  const { early, late } = await page.evaluate((s) => window.game.churn(s, 2000), jingle);
  assert.ok(early > 0, 'the worklet reported its memory');
  assert.equal(late, early, `the worklet's memory grew from ${early} to ${late} bytes`);
});

test('a seek and then play on a fresh context always sounds, from the time sought', async () => {
  const demo = song('demo');
  const frames = 12000;
  const expected = sha256(nativeWav(demo).subarray(44 + 4 * 120000, 44 + 4 * (120000 + frames)));
  // Three hundred contexts, a hundred a page: a browser holds only so many
  // worklets' WebAssembly at once, and a page's go with it.
  for (let batch = 0; batch < 3; ++batch) {
    const fresh = await browser.newPage();
    await fresh.goto(origin);
    await fresh.waitForSelector('body[data-ready="true"]', { timeout: 60000 });
    const result = await fresh.evaluate((s, n) => window.game.seekThenPlay(s, 2.5, n, 100), [...demo], frames);
    await fresh.close();
    assert.equal(result.silent, 0);
    assert.equal(result.first, expected);
  }
});

test('a seek to a time not reached is a RangeError; one a billion seconds into a looping song plays at once', async () => {
  const worked = [0x78, 0x04, 0x00, 0x04, 0x28, 0x00, 0x03, 0x80, 0x00, 0x02, 0x04, 0x00, 0x01, 0x04, 0x04, 0x02, 0x00,
    0x00, 0x06, 0x00];
  for (const seconds of [Infinity, -Infinity, NaN, -1, 1e300, 2 ** 64 / 48000]) {
    const result = await page.evaluate((s, t) => window.game.badSeek(s, t), worked, seconds);
    assert.equal(result.name, 'RangeError', String(seconds));
    assert.match(result.message, /^seek takes seconds/, String(seconds));
  }
  // The worked example goes back to its start every 24006 frames; sqn2wav
  // --loops 4 holds the same moment of its third pass.
  const frame = 1e9 * 48000;
  const same = 2 * 24006 + ((frame - 2 * 24006) % 24006);
  const wav = nativeWav(Buffer.from(worked), ['--loops', '4']);
  const samples = await page.evaluate((s, n) => window.game.samples([{ song: s, seek: 1e9, loop: true }], n), worked, 4096);
  assert.deepEqual(Buffer.from(samples), wav.subarray(44 + 4 * same, 44 + 4 * (same + 4096)));
});

test("a song that ends plays out the last block sqn2wav writes, then falls silent", async () => {
  // It ends in frame 12005 (a note, a 4-row wait, LoopEnd): sqn2wav writes 24 blocks.
  const short = [120, 8, 0, 2, 2, 0, 1, 4, 0, 6, 0, 1, 2, 8];
  const wav = nativeWav(Buffer.from(short));
  const samples = Buffer.from(await page.evaluate((s) => window.game.samples([{ song: s }], 24000), short));
  const data = wav.subarray(44);
  assert.equal(data.length, 4 * 24 * 512);
  assert.ok(data.subarray(4 * 12006).some((byte) => byte !== 0), 'the last block sounds past the end');
  assert.deepEqual(samples.subarray(0, data.length), data);
  assert.ok(samples.subarray(data.length).every((byte) => byte === 0));
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
