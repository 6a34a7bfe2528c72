// The npm package sqn-player as a game maker takes it: a scratch game
// installs the tarball `make npm` packs (from the file, no registry),
// imports it, is bundled by esbuild with the two files the README says to
// copy, and runs in headless Chromium (Debian's, through puppeteer-core).
// Its WAV files are sqn2wav's byte for byte; its players, rendered through
// an OfflineAudioContext at 48000 Hz, are sqn2wav's samples from the start,
// from a seek and with a voice muted, two of them mixing on one context;
// 'ended' comes; a live context plays on, pauses and stops; mistakes reject
// with their line and column. A game's music: beats, bars and loops on time,
// cues, a jump at the bar that is a seek, an effect over the music, gain
// and fades, unlocking and pausing while hidden; Vite bundles the same
// game. A small TypeScript game checks the types with tsc --strict.
//   node package.test.mjs TARBALL NATIVE_BUILD_DIR
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import zlib from 'node:zlib';
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

// A native program's output (its summary on standard error kept back).
function native(program, args) {
  return execFileSync(path.join(build, 'app', program), args, { stdio: ['ignore', 'pipe', 'pipe'] });
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

const buffers = {};  // renders kept for the checks after them

window.game = {
  // The audio thread's cost of a player, in microseconds a 128-frame block:
  // an offline render of \`seconds\` with \`count\` players of \`song\`,
  // against one with none, the best of three each.
  async blockCost(song, seconds, count) {
    const frames = seconds * 48000;
    const timed = async (players) => {
      let best = Infinity;
      for (let run = 0; run < 3; ++run) {
        const context = new OfflineAudioContext(2, frames, 48000);
        for (let i = 0; i < players; ++i) {
          const player = await SqnPlayer.create(context, Uint8Array.from(song), { loop: true });
          player.connect(context.destination);
          await player.play();
        }
        const start = performance.now();
        await context.startRendering();
        best = Math.min(best, performance.now() - start);
      }
      return best;
    };
    const empty = await timed(0);
    const full = await timed(count);
    return ((full - empty) * 1000) / (frames / 128) / count;
  },
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
    await wait(300);  // a still position needs some time to show it stays still
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
  mml: (text, options) => compileMml(text, options).then((bytes) => Array.from(bytes)),
  assembled: (text) => assemble(text).then((bytes) => Array.from(bytes)),
  mmlMistake: (text) => mistake(() => compileMml(text)),
  textMistake: (text) => mistake(() => assemble(text)),
  async badSong(bytes) {
    return mistake(() => SqnPlayer.create(new OfflineAudioContext(2, 128, 48000), Uint8Array.from(bytes)));
  },
  async badOptions(song, options) {
    return mistake(() => renderWav(Uint8Array.from(song), options));
  },
  compiled: (text) => compileMml(text).then((bytes) => Array.from(bytes)),
  // A song played on an offline context for \`frames\` frames, calls made
  // at the times given (each taken before rendering goes on, by a pause
  // and a play there); its music's events with their details, its left
  // channel, and the player's time, cues and loop point afterwards.
  async played(song, frames, { loop = true, at = [], until = 0, seek = 0, muted = [], key = 'last' } = {}) {
    const context = new OfflineAudioContext(2, frames, 48000);
    const player = await SqnPlayer.create(context, Uint8Array.from(song), { loop });
    player.connect(context.destination);
    for (const voice of muted) player.setMuted(voice, true);
    if (seek) player.seek(seek);
    const events = [];
    for (const type of ['beat', 'bar', 'loop', 'cue', 'ended']) {
      player.addEventListener(type, (event) => events.push({ type, ...event.detail }));
    }
    const effects = [];
    for (const { time, jump, effect, gain, fade, mute } of at) {
      context.suspend(time).then(async () => {
        if (jump) player.jump(jump.cue, { at: jump.at });
        if (effect) effects.push(player.playEffect(Uint8Array.from(effect.song), { voices: effect.voices }));
        if (gain !== undefined) player.gain = gain;
        if (fade) player.fadeTo(fade.gain, fade.seconds);
        if (mute) mute.voices.forEach((voice) => player.setMuted(voice, mute.muted));
        player.pause();
        await player.play();
        context.resume();
      });
    }
    await player.play();
    const buffer = await context.startRendering();
    // The events of the last frames arrive after the render: until one
    // heard at \`until\` seconds, ten seconds at most.
    for (let i = 0; i < 500 && !events.some((e) => e.audioTime >= until); ++i) await new Promise((r) => setTimeout(r, 20));
    const ended = await Promise.all(effects.map((promise) => Promise.race([promise, new Promise((r) => setTimeout(() => r('never'), 10000))])));
    buffers[key] = buffer;
    return { events, time: player.time, cues: player.cues, loopStart: player.loopStart, gain: player.gain, ended };
  },
  // The interleaved floats of a kept render from frame \`from\` to \`to\`, hashed.
  floatHash(key, from, to) {
    const [left, right] = [0, 1].map((c) => buffers[key].getChannelData(c));
    const out = new Float32Array(2 * (to - from));
    for (let i = from; i < to; ++i) {
      out[2 * (i - from)] = left[i];
      out[2 * (i - from) + 1] = right[i];
    }
    return hash(new Uint8Array(out.buffer));
  },
  // Frames where render \`heard\` is not \`muted\` plus \`alone\` (from
  // \`start\`, for \`length\` frames) and \`plain\` elsewhere, sample for
  // sample in single precision; and how many the effect sounded in.
  effectDiffers(heard, plain, muted, alone, start, length) {
    let differ = 0;
    let sounded = 0;
    for (let c = 0; c < 2; ++c) {
      const [h, p, m, a] = [heard, plain, muted, alone].map((key) => buffers[key].getChannelData(c));
      for (let i = 0; i < h.length; ++i) {
        const inside = i >= start && i < start + length;
        const expected = inside ? Math.fround(m[i] + a[i - start]) : p[i];
        if (h[i] !== expected) ++differ;
        if (inside && a[i - start] !== 0) ++sounded;
      }
    }
    return { differ, sounded };
  },
  // Samples of render \`a\` that are not \`gain\` times \`b\`'s, in single
  // precision.
  notScaled(a, b, gain) {
    let differ = 0;
    for (let c = 0; c < 2; ++c) {
      const [x, y] = [a, b].map((key) => buffers[key].getChannelData(c));
      for (let i = 0; i < x.length; ++i) if (x[i] !== Math.fround(y[i] * gain)) ++differ;
    }
    return differ;
  },
  // The gain of render \`a\` over \`b\` from frame \`from\` on, at their loud
  // frames: how often it rose, the last seen before \`end\`, and how many
  // samples sound from \`end\` on.
  fadeShape(a, b, from, end) {
    const [x, y] = [a, b].map((key) => buffers[key].getChannelData(0));
    let rose = 0;
    let last = Infinity;
    let after = 0;
    for (let i = from; i < x.length; ++i) {
      if (i >= end) {
        if (x[i] !== 0) ++after;
        continue;
      }
      if (Math.abs(y[i]) > 0.01) {
        const gain = x[i] / y[i];
        if (gain > last + 1e-6) ++rose;
        last = gain;
      }
    }
    return { rose, last, after };
  },
  async gameMistakes(song) {
    const player = await SqnPlayer.create(new OfflineAudioContext(2, 128, 48000), Uint8Array.from(song), { loop: true });
    return {
      cue: await mistake(async () => player.jump('nowhere', { at: 'bar' })),
      at: await mistake(async () => player.jump(player.cues[0], { at: 'soon' })),
      gain: await mistake(async () => { player.gain = NaN; }),
      fade: await mistake(async () => player.fadeTo(0, -1)),
      effect: await mistake(() => player.playEffect(Uint8Array.from([0, 0]))),
      voices: await mistake(() => player.playEffect(Uint8Array.from(song), { voices: [6] })),
    };
  },
  // A suspended context, resumed by SqnPlayer.unlock inside the click the
  // test makes.
  async unlockBefore() {
    window.unlocking = new AudioContext({ sampleRate: 48000 });
    await window.unlocking.suspend();
    window.unlocked = SqnPlayer.unlock(window.unlocking).then(() => window.unlocking.state);
    return window.unlocking.state;
  },
  unlockAfter: () => window.unlocked,
  // A live player with pauseWhenHidden, the page hidden and shown again
  // (as the browser says when the tab changes).
  async hidden(song) {
    const context = new AudioContext({ sampleRate: 48000 });
    const player = await SqnPlayer.create(context, Uint8Array.from(song), { loop: true, pauseWhenHidden: true });
    player.connect(context.destination);
    const wait = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    const audioPast = async (seconds) => {
      const until = context.currentTime + seconds;
      for (let i = 0; i < 3000 && context.currentTime < until; ++i) await wait(20);
    };
    const show = (state) => {
      Object.defineProperty(document, 'visibilityState', { value: state, configurable: true });
      document.dispatchEvent(new Event('visibilitychange'));
    };
    await player.play();
    await audioPast(0.3);
    show('hidden');
    const seen = { hiddenPlaying: player.playing, held: player.position };
    await audioPast(0.3);
    seen.stillHeld = player.position;
    show('visible');
    seen.shownPlaying = player.playing;
    await audioPast(0.3);
    seen.after = player.position;
    player.close();
    delete document.visibilityState;
    await context.close();
    return seen;
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
  // A game's music: events, time, gain and fades, jumps and effects.
  await SqnPlayer.unlock(context);
  const game = await SqnPlayer.create(context, file, { loop: true, pauseWhenHidden: true });
  game.addEventListener('bar', (event) => console.log(event.detail.bar, event.detail.audioTime - context.currentTime));
  game.addEventListener('cue', (event) => console.log(event.detail.cue?.length, event.detail.index));
  game.addEventListener('ended', (event) => console.log(event.detail.seconds));
  game.gain = 0.5;
  game.fadeTo(0, 2);
  game.jump(game.cues[0] ?? 'verse', { at: 'bar' });
  await game.playEffect(await compileMml('A c'), { voices: [0, 4] });
  const { bar, beat, beatPhase, bpm, beatsPerBar, pass, seconds } = game.time;
  const intro: number | null = game.loopStart;
  // @ts-expect-error jumps are taken now, at a beat, a bar or the loop's end
  game.jump('verse', { at: 'later' });
  // @ts-expect-error seek takes seconds
  music.seek('soon');
  // @ts-expect-error a player is made by create
  new SqnPlayer();
  return wav.length + blob.size + decoded.length + music.position + music.duration + (music.playing ? 1 : 0) +
    bar + beat + beatPhase + bpm + beatsPerBar + pass + seconds + (intro ?? 0) + game.gain;
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
  for (const file of ['sqn-play.wasm', 'sqn.wasm', 'worklet.js']) {
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
  for (const file of ['index.js', 'index.d.ts', 'sqn-wasm.js', 'worklet.js', 'sqn.wasm', 'sqn-play.wasm', 'README.md',
    'LICENSE', 'THIRD-PARTY-LICENSES.txt']) {
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
  assert.deepEqual(fs.readdirSync(copied).sort(), ['sqn-play.wasm', 'sqn.wasm', 'worklet.js']);
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
  // Of a file of several songs, the one named, as mml2sqn --song compiles it.
  const songs = '@v1 = { 15 9 / 3 0 }\n#song music\nA @v1 o4 c d e f\n#song jingle\nA @v1 o5 l16 c e g > c\n';
  fs.writeFileSync(mml, songs);
  native('mml2sqn', ['--song', 'jingle', mml, path.join(work, 'jingle.sqn')]);
  assert.deepEqual(await page.evaluate((t) => window.game.mml(t, { song: 'jingle' }), songs),
    [...fs.readFileSync(path.join(work, 'jingle.sqn'))]);

  assert.deepEqual(await page.evaluate(() => window.game.mmlMistake('A o4 c x\nB o9 c\n')), {
    name: 'SqnSongError', isSongError: true, line: 1, column: 8, count: 2,
    message: "expected a command (c d e f g a b n r o < > l t v V q k @v @a @p @i [ | ] { } L $ ! & ^ ~), found 'x'",
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

// A song mml2sqn compiles, as bytes.
function compiled(text) {
  const source = path.join(work, 'game-song.mml');
  const output = path.join(work, 'game-song.sqn');
  fs.writeFileSync(source, text);
  native('mml2sqn', [source, output]);
  return [...fs.readFileSync(output)];
}

// Frames of a render quantum: offline contexts suspend only on their edges.
const quantum = (frame) => Math.floor(frame / 128) * 128;

async function beatsAndBars(target) {
  // Two bars at 120 (an intro), then the loop: a bar at 120, a bar at 150.
  const song = compiled('A t120 o4 l4 [c e g e]2 L [c g]2 t150 [e g]2\nE l8 [c]16 L [c]16\n');
  const intro = 8 * 24000;
  const pass = 4 * 24000 + 4 * 19200;
  const frames = intro + 3 * pass + 4096;
  const result = await target.evaluate((s, n, u) => window.game.played(s, n, { until: u }), song, frames,
    (intro + 3 * pass) / 48000);
  const beats = [];
  for (let i = 0; i < 8; ++i) beats.push(i * 24000);
  for (let p = 0; p < 3; ++p) {
    for (let i = 0; i < 4; ++i) beats.push(intro + p * pass + i * 24000);
    for (let i = 0; i < 4; ++i) beats.push(intro + p * pass + 96000 + i * 19200);
  }
  const told = result.events.filter((e) => e.type === 'beat');
  assert.ok(told.length >= beats.length, `${told.length} beats told`);
  beats.forEach((frame, i) => {
    assert.ok(Math.abs(told[i].audioTime * 48000 - frame) <= 48, `beat ${i} heard at ${told[i].audioTime * 48000}, not ${frame}`);
    assert.equal(told[i].beat, (i % 4) + 1);
    assert.equal(told[i].beatPhase, 0);
  });
  const bars = result.events.filter((e) => e.type === 'bar').map((e) => e.bar);
  assert.deepEqual(bars.slice(0, 8), [1, 2, 3, 4, 3, 4, 3, 4]);
  const loops = result.events.filter((e) => e.type === 'loop');
  assert.deepEqual(loops.map((e) => e.pass), [1, 2, 3]);
  loops.forEach((e, p) => assert.ok(Math.abs(e.audioTime * 48000 - (intro + (p + 1) * pass)) <= 48));
  assert.equal(result.loopStart, 4);
  assert.equal(result.time.pass, 3);
  assert.equal(result.time.bpm, 120);
  assert.equal(result.time.beatsPerBar, 4);
}

test('beat, bar and loop events land within a millisecond of the beats, through a tempo change and three passes', async () => {
  await beatsAndBars(page);
});

test('#meter 3 gives bars of three, a song without a map four beats of its tempo', async () => {
  const waltz = compiled('#meter 3\nA t90 o4 [c e g]4\n');
  const result = await page.evaluate((s) => window.game.played(s, 12 * 32000, { loop: false, until: 3 * 2 }), waltz);
  const bars = result.events.filter((e) => e.type === 'bar');
  assert.deepEqual(bars.map((e) => e.bar), [1, 2, 3, 4]);
  bars.forEach((e, i) => {
    assert.ok(Math.abs(e.audioTime - 2 * i) < 0.001, `bar ${i + 1} at ${e.audioTime}`);
    assert.equal(e.beatsPerBar, 3);
    assert.equal(e.bpm, 90);
  });
  // tempo 100, 4 rows a beat: a beat each 0.6 s.
  const plain = [100, 4, 0, 2, 16, 0, 1, 16, 0, 1, 16, 0, 6, 0];
  const told = (await page.evaluate((s) => window.game.played(s, 3 * 28800 + 128, { loop: false, until: 1.8 }), plain))
    .events.filter((e) => e.type === 'beat');
  assert.deepEqual(told.map((e) => Math.round(e.audioTime * 48000)), [0, 28800, 57600, 86400]);
});

test('cues by name, and a jump at the bar plays on exactly as a seek to the cue from that bar', async () => {
  const song = compiled('A t140 o4 l8 !calm [c e g e]4 L !fight [> c < g a g]4 !boss [c c > c < c]4\n' +
    'D o3 !calm c1 c1 L !fight [g2 e2]2 !boss c1 c1\nF l8 r1 r1 L [c r c c]4 !boss [c c]8\n');
  const scout = await page.evaluate((s) => window.game.played(s, 20 * 48000, { until: 6 }), song);
  assert.deepEqual(scout.cues, ['calm', 'fight', 'boss']);
  const passed = scout.events.filter((e) => e.type === 'cue');
  assert.deepEqual(passed.slice(0, 3).map((e) => [e.cue, e.index]), [['calm', 0], ['fight', 1], ['boss', 2]]);
  const boss = Math.round(passed[2].seconds * 48000);

  // Asked for a little into the second bar: taken at the third.
  const bar = Math.round(2 * 4 * 48000 * 60 / 140);
  const total = 230016;
  const jumped = await page.evaluate((s, n, t) => window.game.played(s, n, {
    at: [{ time: t, jump: { cue: 'boss', at: 'bar' } }], until: 4, key: 'jumped' }), song, total, quantum(110000) / 48000);
  const cue = jumped.events.find((e) => e.type === 'cue' && e.audioTime > 2.3);
  assert.equal(cue.cue, 'boss');
  assert.ok(Math.abs(cue.audioTime * 48000 - bar) < 1, `the jump heard at ${cue.audioTime * 48000}, the bar at ${bar}`);
  assert.equal(jumped.events.find((e) => e.type === 'bar' && e.audioTime >= cue.audioTime).bar, 5);
  await page.evaluate((s, n, f) => window.game.played(s, n, { seek: f / 48000, key: 'sought' }), song, total - bar, boss);
  assert.equal(await page.evaluate((n, b) => window.game.floatHash('jumped', b, n), total, bar),
    await page.evaluate((n) => window.game.floatHash('sought', 0, n), total - bar));
});

test('an effect over the music is the music with its voices muted for its length, plus the effect alone', async () => {
  const music = compiled('A t120 o4 l8 [c e g e]8\nB o3 l4 [c g]8\nE l8 [c r]16\n');
  const effect = compiled('A t240 o6 l16 c e g > c\nB o5 l16 g > c e g\nE l16 c c\n');
  const voices = [0, 1, 4];
  const start = quantum(30000);
  const frames = 96000;
  // Its length: sqn2wav's, whole blocks.
  const length = (nativeWav(Buffer.from(effect)).length - 44) / 4;
  const heard = await page.evaluate((s, n, t, e, v) => window.game.played(s, n, {
    loop: false, key: 'heard', at: [{ time: t, effect: { song: e, voices: v } }] }), music, frames, start / 48000, effect, voices);
  assert.ok(Math.abs(heard.ended[0] - (start + length) / 48000) < 0.01, `the effect's promise resolved at ${heard.ended[0]}`);
  await page.evaluate((s, n) => window.game.played(s, n, { loop: false, key: 'plain' }), music, frames);
  await page.evaluate((s, n, v) => window.game.played(s, n, { loop: false, key: 'muted', muted: v }), music, frames, voices);
  await page.evaluate((s, n, v) => window.game.played(s, n, { loop: false, key: 'alone', muted: v }), effect, frames,
    [2, 3, 5]);
  const { differ, sounded } = await page.evaluate((t, l) => window.game.effectDiffers('heard', 'plain', 'muted', 'alone', t, l),
    start, length);
  assert.equal(differ, 0);
  assert.ok(sounded > 1000, `the effect sounded in ${sounded} samples`);
});

test('gain 0.5 is half the float mix, and a fade falls evenly to its gain and stays there', async () => {
  const song = compiled('A t120 o4 l8 [c e g e]8\nE l4 [c]8\n');
  await page.evaluate((s) => window.game.played(s, 60032, { loop: false, key: 'whole' }), song);
  const half = await page.evaluate((s) => window.game.played(s, 60032, { loop: false, key: 'half',
    at: [{ time: 0, gain: 0.5 }] }), song);
  assert.equal(half.gain, 0.5);
  assert.equal(await page.evaluate(() => window.game.notScaled('half', 'whole', 0.5)), 0);
  const start = quantum(6000);
  await page.evaluate((s, t) => window.game.played(s, 60032, { loop: false, key: 'faded',
    at: [{ time: t, fade: { gain: 0, seconds: 1 } }] }), song, start / 48000);
  const shape = await page.evaluate((t) => window.game.fadeShape('faded', 'whole', t, t + 48000), start);
  assert.equal(shape.rose, 0);
  assert.ok(shape.last < 0.01, `the gain last seen at ${shape.last}`);
  assert.equal(shape.after, 0);
  // The same calls give the same samples.
  await page.evaluate((s, t) => window.game.played(s, 60032, { loop: false, key: 'again',
    at: [{ time: t, fade: { gain: 0, seconds: 1 } }] }), song, start / 48000);
  assert.equal(await page.evaluate(() => window.game.floatHash('again', 0, 60032)),
    await page.evaluate(() => window.game.floatHash('faded', 0, 60032)));
});

test("a game's mistakes are told: a cue the song lacks, a boundary, a gain, a fade and an effect", async () => {
  const song = compiled('A !verse c d e f\n');
  const told = await page.evaluate((s) => window.game.gameMistakes(s), song);
  assert.equal(told.cue.name, 'RangeError');
  assert.equal(told.cue.message, 'the song has no cue named "nowhere" (it has verse)');
  assert.equal(told.at.message, "jump takes at: 'now', 'beat', 'bar' or 'loopEnd', found \"soon\"");
  assert.equal(told.gain.message, 'gain takes a finite number (1 as the song is), found NaN');
  assert.equal(told.fade.message, 'fadeTo takes seconds, 0 … 600, found -1');
  assert.equal(told.effect.message, 'failed to load .sqn file.');
  assert.equal(told.voices.message, 'voices takes a list of voices 0 … 5 (as [0, 4]), found [6]');
});

test('SqnPlayer.unlock resumes a suspended context inside the first click', async () => {
  assert.equal(await page.evaluate(() => window.game.unlockBefore()), 'suspended');
  await page.mouse.click(5, 5);
  assert.equal(await page.evaluate(() => window.game.unlockAfter()), 'running');
});

test('pauseWhenHidden holds the music while the page is hidden and plays on from there', async () => {
  const seen = await page.evaluate((s) => window.game.hidden(s), [...song('demo')]);
  assert.equal(seen.hiddenPlaying, false);
  assert.equal(seen.stillHeld, seen.held);
  assert.equal(seen.shownPlaying, true);
  assert.ok(seen.after > seen.held + 0.1, `held at ${seen.held}, then ${seen.after}`);
});

test('bundled by Vite, as the README names it, the game hears the same beats', async () => {
  const vite = path.join(work, 'vite');
  fs.mkdirSync(vite, { recursive: true });
  fs.writeFileSync(path.join(vite, 'package.json'), JSON.stringify({ name: 'vite-game', private: true, type: 'module' }));
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error',
    '--cache', path.join(work, 'npm-cache'), tarball], { cwd: vite, stdio: ['ignore', 'ignore', 'inherit'] });
  fs.writeFileSync(path.join(vite, 'game.js'), gameSource);
  fs.writeFileSync(path.join(vite, 'index.html'),
    '<!doctype html><title>game</title><link rel="icon" href="data:,"><body><script type="module" src="./game.js"></script></body>\n');
  execFileSync(process.execPath, [path.join(here, 'node_modules', 'vite', 'bin', 'vite.js'), 'build', '--logLevel', 'warn',
    '--outDir', 'dist', '--base', './'], { cwd: vite, stdio: ['ignore', 'ignore', 'inherit'] });
  const served = await serveFolder(path.join(vite, 'dist'));
  const vitePage = await browser.newPage();
  vitePage.on('pageerror', (error) => problems.push(`vite page: ${error.message}`));
  try {
    await vitePage.goto(`${served.origin}/`);
    await vitePage.waitForSelector('body[data-ready="true"]', { timeout: 15000 });
    await beatsAndBars(vitePage);
  } finally {
    await vitePage.close();
    served.server.close();
  }
});

test("the web example, bundled by esbuild, plays its music on time and answers its buttons", async () => {
  const example = path.join(work, 'web-example');
  fs.mkdirSync(path.join(example, 'dist'), { recursive: true });
  fs.writeFileSync(path.join(example, 'package.json'), JSON.stringify({ name: 'web-example', private: true, type: 'module' }));
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error',
    '--cache', path.join(work, 'npm-cache'), tarball], { cwd: example, stdio: ['ignore', 'ignore', 'inherit'] });
  const source = path.join(examples, 'web');
  fs.copyFileSync(path.join(source, 'game.js'), path.join(example, 'game.js'));
  fs.copyFileSync(path.join(source, 'index.html'), path.join(example, 'dist', 'index.html'));
  fs.copyFileSync(path.join(build, 'examples', 'arcade.sqn'), path.join(example, 'dist', 'arcade.sqn'));
  execFileSync(path.join(bin, 'esbuild'), ['game.js', '--bundle', '--format=esm', '--log-level=warning',
    '--outfile=dist/game.js'], { cwd: example, stdio: ['ignore', 'ignore', 'inherit'] });
  // A game that only plays songs: the player's module alone is served.
  for (const file of ['sqn-play.wasm', 'worklet.js']) {
    fs.copyFileSync(path.join(example, 'node_modules', 'sqn-player', file), path.join(example, 'dist', file));
  }
  const playerBytes = fs.readFileSync(path.join(example, 'dist', 'sqn-play.wasm'));
  assert.ok(zlib.gzipSync(playerBytes, { level: 9 }).length <= 60 * 1024,
    `sqn-play.wasm gzipped: ${zlib.gzipSync(playerBytes, { level: 9 }).length} bytes`);
  const served = await serveFolder(path.join(example, 'dist'));
  const examplePage = await browser.newPage();
  examplePage.on('pageerror', (error) => problems.push(`example: ${error.message}`));
  const fetched = [];
  examplePage.on('response', (response) => fetched.push(`${response.status()} ${new URL(response.url()).pathname}`));
  const log = () => examplePage.$$eval('#log li', (items) => items.map((item) => item.textContent));
  try {
    await examplePage.goto(`${served.origin}/`);
    await examplePage.waitForSelector('body[data-ready="true"]', { timeout: 15000 });
    await examplePage.click('#play');
    // The music's own time, however busy the machine: a minute at most.
    await examplePage.waitForFunction(() => /^bar 2, beat \d of 4 at 150 bpm$/.test(document.querySelector('#status').value),
      { timeout: 60000 });
    await examplePage.click('#ending');
    await examplePage.waitForFunction(() => [...document.querySelectorAll('#log li')].some((li) => li.textContent === 'cue ending'),
      { timeout: 60000 });
    await examplePage.click('#coin');
    await examplePage.waitForFunction(() => [...document.querySelectorAll('#log li')].some((li) => li.textContent === 'coin played'),
      { timeout: 60000 });
    const said = await log();
    assert.deepEqual(said.slice(0, 2), ['cue intro', 'cue verse']);
    assert.ok(said.indexOf('jump to the ending at the next bar') < said.indexOf('cue ending'), said.join(' / '));
    // It fetched the player's module, and never the compilers'.
    assert.ok(fetched.includes('200 /sqn-play.wasm'), fetched.join(', '));
    assert.ok(!fetched.some((entry) => entry.endsWith('/sqn.wasm')), fetched.join(', '));
  } finally {
    await examplePage.close();
    served.server.close();
  }
});

// What a player costs the audio thread, reported (not judged: it depends
// on the machine and how busy it is): six voices of the arcade example.
test("a player's cost on the audio thread, in microseconds a block, is reported", async () => {
  const arcade = [...fs.readFileSync(path.join(build, 'examples', 'arcade.sqn'))];
  const cost = await page.evaluate((s) => window.game.blockCost(s, 20, 4), arcade);
  assert.ok(Number.isFinite(cost), String(cost));
  console.log(`# sqn-player: ${cost.toFixed(2)} µs of the audio thread a 128-frame block a player (arcade, 4 players, Chromium)`);
});

test('nothing went wrong on the page', () => {
  assert.deepEqual(problems, []);
});
