// sqn-player: .sqn songs in a web page or game, played by the same code as
// sqn2wav (compiled to WebAssembly) in an AudioWorklet, bit for bit.
//   await SqnPlayer.create(context, song, {loop})  a player on a context
//   await renderWav(song, {loops, fade, voices})    sqn2wav's WAV file
//   await compileMml(text), await assemble(text)    a song's bytes
// sqn.wasm and worklet.js are found beside this file.

import { asBytes, compiledModule, loadSqn, sharedSqn } from './sqn-wasm.js';

const kWorkletUrl = new URL('./worklet.js', import.meta.url);
const kSongRate = 48000;        // frames a second of sqn2wav's files and of a song's map
const kVoices = 6;
const kMaxLoops = 65535;        // as sqn2wav's --loops
const kMaxFadeSeconds = 600;    // as sqn2wav's --fade
const kMaxFrames = 2 ** 64;     // a seek goes to a frame below this
const kMaxReportAge = 0.25;     // seconds a report is carried on by the clock, should reports stop
const kConstructing = Symbol('SqnPlayer.create');

// The worklet's module, added once to each context.
const workletsAdded = new WeakMap();

function addWorklet(context) {
  if (!workletsAdded.has(context)) {
    const added = context.audioWorklet.addModule(kWorkletUrl);
    added.catch(() => workletsAdded.delete(context));
    workletsAdded.set(context, added);
  }
  return workletsAdded.get(context);
}

// A song that does not assemble or compile: the first mistake's line,
// column and message as the programs report them, and all of them in
// `errors`.
export class SqnSongError extends Error {
  constructor(errors) {
    super(errors[0].message);
    this.name = 'SqnSongError';
    this.line = errors[0].line;
    this.column = errors[0].column;
    this.errors = errors;
  }
}

function songOf({ bytes, errors }) {
  if (errors) throw new SqnSongError(errors);
  return bytes;
}

// The calls that may take much memory (a long render, a long song) share
// an instance while it stays small; one that grew is let go of after its
// call, so that its memory goes.
const kKeptScratchBytes = 64 << 20;
let scratch = null;

async function withScratch(call) {
  if (!scratch) {
    scratch = loadSqn();
    scratch.catch(() => { scratch = null; });
  }
  const sqn = await scratch;
  try {
    return call(sqn);
  } finally {
    if (sqn.memoryBytes() > kKeptScratchBytes) scratch = null;
  }
}

export async function compileMml(text) {
  return songOf(await withScratch((sqn) => sqn.compileMml(String(text))));
}

export async function assemble(text) {
  return songOf(await withScratch((sqn) => sqn.assemble(String(text))));
}

function wholeNumber(value, least, most) {
  return Number.isInteger(value) && value >= least && value <= most;
}

// The very bytes sqn2wav writes: `loops` passes round the loop, a `fade` of
// that many seconds after the last, and only the `voices` listed heard, as
// its --loops, --fade and --voices.
export async function renderWav(song, { loops = 1, fade = 0, voices = [0, 1, 2, 3, 4, 5] } = {}) {
  const bytes = asBytes(song);
  if (!wholeNumber(loops, 1, kMaxLoops)) {
    throw new RangeError(`loops takes a whole number of passes, 1 … ${kMaxLoops}, found ${loops}`);
  }
  if (typeof fade !== 'number' || !(fade >= 0 && fade <= kMaxFadeSeconds)) {
    throw new RangeError(`fade takes seconds, 0 … ${kMaxFadeSeconds}, found ${fade}`);
  }
  if (!Array.isArray(voices) || voices.length === 0 || !voices.every((voice) => wholeNumber(voice, 0, kVoices - 1))) {
    throw new RangeError(`voices takes a list of voices 0 … ${kVoices - 1} (as [0, 4]), found ${JSON.stringify(voices)}`);
  }
  const muted = Array.from({ length: kVoices }, (_, voice) => !voices.includes(voice));
  return withScratch((sqn) => sqn.renderWav(bytes, { loops, fade, muted }));
}

// A song playing on an AudioContext (or an OfflineAudioContext), through
// an AudioWorkletNode of its own: connect it, then play, pause, stop and
// seek. Dispatches 'ended' when a song that does not loop has finished,
// and 'error' (with `message`) should the worklet fail.
export class SqnPlayer extends EventTarget {
  #context;
  #node;
  #sqn;
  #song;
  #map;
  #loop;
  #muted = new Array(kVoices).fill(false);
  #id = 0;               // the song sent last; reports of earlier ones are stale
  #state = 'stopped';    // 'playing', 'paused', 'stopped' (at the start) or 'ended'
  #frames = 0;           // at the context's rate: where the worklet was at `#clock`
  #clock = 0;            // the context's time when `#frames` was last known
  #sent = 0;             // messages posted to the worklet, each numbered
  #waiting = [];         // {sent, resolve, reject} of calls waiting for the worklet to have taken message `sent`

  static async create(context, song, { loop = false } = {}) {
    const bytes = asBytes(song).slice();
    const [sqn] = await Promise.all([sharedSqn(), addWorklet(context)]);
    const map = sqn.songMap(bytes);  // throws the loader's message for a malformed song
    const node = new AudioWorkletNode(context, 'sqn-player', { numberOfInputs: 0, outputChannelCount: [2] });
    node.port.postMessage({ module: await compiledModule() });
    const player = new SqnPlayer(kConstructing, context, node, sqn, bytes, map, Boolean(loop));
    await player.#answered(player.#sent);
    return player;
  }

  constructor(token, context, node, sqn, song, map, loop) {
    if (token !== kConstructing) throw new TypeError('a player is made by await SqnPlayer.create(context, song)');
    super();
    this.#context = context;
    this.#node = node;
    this.#sqn = sqn;
    this.#song = song;
    this.#map = map;
    this.#loop = loop;
    node.port.onmessage = (event) => this.#receive(event.data);
    this.#send(0, true);
  }

  get context() { return this.#context; }

  // The AudioWorkletNode the song plays from, for connecting it as any node.
  get node() { return this.#node; }

  connect(...destination) { return this.#node.connect(...destination); }

  disconnect(...destination) { this.#node.disconnect(...destination); }

  get playing() { return this.#state === 'playing'; }

  // Plays on from where the player is (the start after stop() or the end),
  // resuming a suspended context; resolves once the worklet plays.
  async play() {
    const starting = this.#state !== 'playing';
    if (this.#state === 'ended') {
      this.#send(0, false);
    } else if (starting) {
      this.#frames = this.#framesNow();
      this.#clock = this.#context.currentTime;
      this.#post({ paused: false });
    }
    this.#state = 'playing';
    // Once the worklet has taken every message so far, the last of which
    // lets it play: an offline context rendering meanwhile would not see
    // a message it had not taken.
    const answered = starting ? this.#answered(this.#sent) : null;
    // An offline context is started by startRendering(), not resumed.
    const offline = typeof OfflineAudioContext !== 'undefined' && this.#context instanceof OfflineAudioContext;
    if (this.#context.state === 'suspended' && !offline) await this.#context.resume();
    await answered;
  }

  pause() {
    if (this.#state !== 'playing') return;
    this.#frames = this.#framesNow();
    this.#state = 'paused';
    this.#post({ paused: true });
  }

  // Back to the start, silent until played again.
  stop() {
    this.#send(0, true);
    this.#state = 'stopped';
  }

  // Goes to `seconds` into the song, exactly as if played up to there;
  // playing or held as it was. Worked out here, not on the audio thread: a
  // looping song goes round whole passes at once, so any time costs the
  // intro and two passes.
  seek(seconds) {
    if (typeof seconds !== 'number' || !Number.isFinite(seconds) || seconds < 0) {
      throw new RangeError(`seek takes seconds from the start, 0 or more, found ${seconds}`);
    }
    const frames = Math.round(seconds * this.#context.sampleRate);
    if (!(frames < kMaxFrames)) {
      throw new RangeError(`seek takes seconds the song reaches (below 2^64 frames, ` +
        `${kMaxFrames / this.#context.sampleRate} s at ${this.#context.sampleRate} Hz), found ${seconds}`);
    }
    const playing = this.#state === 'playing';
    this.#send(frames, !playing);
    this.#state = playing ? 'playing' : 'paused';
  }

  // Whether the loop point is gone back to at the song's end (a song with
  // none plays its end again from the start).
  get loop() { return this.#loop; }

  set loop(value) {
    this.#loop = Boolean(value);
    this.#post({ looping: this.#loop });
  }

  // Seconds into the song of what is being rendered: inside the looped part
  // once a looping song has gone round.
  get position() {
    const seconds = this.#framesNow() / this.#context.sampleRate;
    const end = this.#map.end / kSongRate;
    if (seconds <= end) return seconds;
    if (!this.#loop || this.#state === 'ended') return end;
    const from = Math.max(0, this.#map.loop) / kSongRate;
    return from + ((seconds - end) % Math.max(1 / kSongRate, end - from));
  }

  // Seconds from the start to the song's end (one pass).
  get duration() { return this.#map.end / kSongRate; }

  setMuted(voice, muted) {
    if (!wholeNumber(voice, 0, kVoices - 1)) throw new RangeError(`voices are 0 … ${kVoices - 1}, found ${voice}`);
    this.#muted[voice] = Boolean(muted);
    this.#post({ muted: [...this.#muted] });
  }

  // Stops for good: the worklet lets the song go, the node is
  // disconnected and may be collected. Players may be made and closed
  // without end (a sound effect each): they share their context's one
  // instance of sqn.wasm.
  close() {
    this.#id += 1;
    this.#state = 'stopped';
    this.#post({ close: true });
    this.#node.port.onmessage = null;
    this.#node.disconnect();
    this.#waiting.forEach(({ reject }) => reject(new Error('the player was closed')));
    this.#waiting = [];
  }

  #framesNow() {
    if (this.#state !== 'playing') return this.#frames;
    const since = Math.min(kMaxReportAge, Math.max(0, this.#context.currentTime - this.#clock));
    return this.#frames + since * this.#context.sampleRate;
  }

  #send(from, paused) {
    this.#id += 1;
    this.#frames = from;
    this.#clock = this.#context.currentTime;
    const state = from > 0 ? this.#sqn.seekState(this.#song, this.#context.sampleRate, from, this.#loop) : null;
    this.#post({ muted: [...this.#muted] });
    this.#post({ song: this.#song, looping: this.#loop, from, state, paused, id: this.#id });
  }

  // Every message is numbered; the worklet's reports say the last it took.
  #post(message) {
    this.#sent += 1;
    this.#node.port.postMessage({ ...message, sent: this.#sent });
  }

  // Resolves once the worklet has taken message `sent` and those before it.
  #answered(sent) {
    return new Promise((resolve, reject) => this.#waiting.push({ sent, resolve, reject }));
  }

  #receive(message) {
    // A failure is told whatever song it came with: the worklet may not
    // have taken one yet.
    if (message.failed) {
      const waiting = this.#waiting;
      this.#waiting = [];
      this.#state = 'stopped';
      waiting.forEach(({ reject }) => reject(new Error(message.failed)));
      const event = new Event('error');
      event.message = message.failed;
      this.dispatchEvent(event);
      return;
    }
    if (typeof message.taken === 'number') {
      const answered = this.#waiting.filter(({ sent }) => sent <= message.taken);
      this.#waiting = this.#waiting.filter(({ sent }) => sent > message.taken);
      answered.forEach(({ resolve }) => resolve());
    }
    if (message.id !== this.#id) return;
    // Held, the player stays where it was seen to be (the worklet may have
    // gone a quantum or two further before the pause reached it, which
    // the reports after play() make up).
    if (typeof message.frames === 'number' && this.#state === 'playing') {
      this.#frames = message.frames;
      this.#clock = message.time;
    }
    if (message.ended) {
      this.#state = 'ended';
      this.dispatchEvent(new Event('ended'));
    }
  }
}
