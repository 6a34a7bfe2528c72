// sqn-player: .sqn songs in a web page or game, played by the same code as
// sqn2wav (compiled to WebAssembly) in an AudioWorklet, bit for bit.
//   await SqnPlayer.create(context, song, {loop, pauseWhenHidden})  a player
//     on a context: play, pause, seek, mute, gain and fades, jumps to cues,
//     effects over the music, and events on beats, bars, loops and cues
//   await SqnPlayer.unlock(context)                 the context running, from
//     the first gesture on
//   await renderWav(song, {loops, fade, voices})    sqn2wav's WAV file
//   await compileMml(text, { song }), await assemble(text)    a song's bytes
// sqn-play.wasm (the player) and worklet.js are found beside this file, and
// sqn.wasm (the compilers too) once compileMml or assemble is first called.

import { asBytes, compiledModule, kPlayerUrl, loadSqn, sharedSqn } from './sqn-wasm.js';

const kWorkletUrl = new URL('./worklet.js', import.meta.url);
const kSongRate = 48000;        // frames a second of sqn2wav's files and of a song's map
const kVoices = 6;
const kMaxLoops = 65535;        // as sqn2wav's --loops
const kMaxFadeSeconds = 600;    // as sqn2wav's --fade
const kMaxFrames = 2 ** 64;     // a seek goes to a frame below this
const kMaxReportAge = 0.25;     // seconds a report is carried on by the clock, should reports stop
const kConstructing = Symbol('SqnPlayer.create');
const kEventNumbers = 9;        // a passed event's: frame, kind, value, bar, beat, phase, bpm, beats a bar, pass
const kEventNames = { 1: 'beat', 2: 'bar', 3: 'loop', 4: 'cue' };
const kEffectEnd = 6;
const kJumpAt = { now: 0, beat: 1, bar: 2, loopEnd: 3 };
const kGestures = ['pointerdown', 'keydown', 'touchend'];

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
// The player's module for rendering, the compilers' only when they are
// asked for: a game that only plays songs never downloads them.
const kKeptScratchBytes = 64 << 20;
const scratches = new Map();  // URL → a promise of its instance

async function withScratch(call, url = kPlayerUrl) {
  const key = String(url);
  if (!scratches.has(key)) {
    const loading = loadSqn(url);
    loading.catch(() => scratches.delete(key));
    scratches.set(key, loading);
  }
  const sqn = await scratches.get(key);
  try {
    return call(sqn);
  } finally {
    if (sqn.memoryBytes() > kKeptScratchBytes) scratches.delete(key);
  }
}
const kCompilersUrl = new URL('./sqn.wasm', import.meta.url);

export async function compileMml(text, { song = '' } = {}) {
  return songOf(await withScratch((sqn) => sqn.compileMml(String(text), String(song)), kCompilersUrl));
}

export async function assemble(text) {
  return songOf(await withScratch((sqn) => sqn.assemble(String(text)), kCompilersUrl));
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

  #music;               // the song's cues, loop frame and beats (songMusic)
  #gain = 1;
  #time = null;          // web_player_time's numbers at `#timeClock`, from the worklet
  #timeClock = 0;
  #effects = new Map();  // effect number → {resolve, reject} of playEffect
  #effectsMade = 0;
  #hidden = null;        // the visibilitychange listener, where pauseWhenHidden
  #heldHidden = false;   // paused because the page was hidden

  static async create(context, song, { loop = false, pauseWhenHidden = false } = {}) {
    const bytes = asBytes(song).slice();
    const [sqn] = await Promise.all([sharedSqn(kPlayerUrl), addWorklet(context)]);
    const map = sqn.songMap(bytes);  // throws the loader's message for a malformed song
    const music = sqn.songMusic(bytes);
    const node = new AudioWorkletNode(context, 'sqn-player', { numberOfInputs: 0, outputChannelCount: [2] });
    node.port.postMessage({ module: await compiledModule(kPlayerUrl) });
    const player = new SqnPlayer(kConstructing, context, node, sqn, bytes, map, music, Boolean(loop));
    if (pauseWhenHidden) player.#pauseWhenHidden();
    await player.#answered(player.#sent);
    return player;
  }

  // Resolves once `context` runs: at once where it does, else resumed in
  // the first pointer, key or touch gesture on the page (mobile browsers
  // start audio only inside one).
  static unlock(context) {
    if (context.state === 'running') return Promise.resolve();
    return new Promise((resolve, reject) => {
      const done = () => {
        kGestures.forEach((type) => globalThis.removeEventListener(type, gesture, true));
        context.removeEventListener('statechange', changed);
      };
      const gesture = () => {
        context.resume().catch((error) => { done(); reject(error); });
      };
      const changed = () => {
        if (context.state === 'running') {
          done();
          resolve();
        } else if (context.state === 'closed') {
          done();
          reject(new Error('the audio context was closed'));
        }
      };
      kGestures.forEach((type) => globalThis.addEventListener(type, gesture, true));
      context.addEventListener('statechange', changed);
    });
  }

  constructor(token, context, node, sqn, song, map, music, loop) {
    if (token !== kConstructing) throw new TypeError('a player is made by await SqnPlayer.create(context, song)');
    super();
    this.#context = context;
    this.#node = node;
    this.#sqn = sqn;
    this.#song = song;
    this.#map = map;
    this.#music = music;
    this.#loop = loop;
    node.port.onmessage = (event) => this.#receive(event.data);
    this.#send(0, true);
  }

  // Paused while the page is hidden, playing on from the same frame when it
  // shows again (if it was playing).
  #pauseWhenHidden() {
    if (typeof document === 'undefined') return;
    this.#hidden = () => {
      if (document.visibilityState === 'hidden' && this.playing) {
        this.#heldHidden = true;
        this.pause();
      } else if (document.visibilityState === 'visible' && this.#heldHidden) {
        this.#heldHidden = false;
        this.play().catch(() => {});
      }
    };
    document.addEventListener('visibilitychange', this.#hidden);
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
    this.#send(frames, !playing, this.#state !== 'ended');
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

  // The gain of the mix (1: sqn2wav's samples exactly), from the next
  // quantum on; setting it stops a fade.
  get gain() { return this.#gain; }

  set gain(value) {
    if (typeof value !== 'number' || !Number.isFinite(value)) {
      throw new RangeError(`gain takes a finite number (1 as the song is), found ${value}`);
    }
    this.#gain = value;
    this.#post({ gain: value });
  }

  // Moves the gain from where it is to `gain` over `seconds`, evenly, frame
  // by frame (the same calls give the same samples).
  fadeTo(gain, seconds) {
    if (typeof gain !== 'number' || !Number.isFinite(gain)) {
      throw new RangeError(`fadeTo takes a finite gain, found ${gain}`);
    }
    if (typeof seconds !== 'number' || !(seconds >= 0 && seconds <= kMaxFadeSeconds)) {
      throw new RangeError(`fadeTo takes seconds, 0 … ${kMaxFadeSeconds}, found ${seconds}`);
    }
    this.#gain = gain;
    this.#post({ fade: { to: gain, frames: Math.round(seconds * this.#context.sampleRate) } });
  }

  // Seconds from the start to the loop point (the intro's length), or null
  // for a song without a loop.
  get loopStart() { return this.#music.loop < 0 ? null : this.#music.loop / kSongRate; }

  // The song's cues by name, as a game jumps to them.
  get cues() { return [...this.#music.cues]; }

  // Where the music is: `seconds` on the player's clock (from the start or
  // the last seek; jumps do not reset it), the loop `pass`, `bar` and `beat`
  // (from 1), `beatPhase` (0 ≤ x < 1), `bpm` and `beatsPerBar`, as the
  // worklet last told them and carried on by the audio clock since.
  get time() {
    const rate = this.#context.sampleRate;
    if (!this.#time) {
      const [bar, beat] = [1, 1];
      return { seconds: this.#frames / rate, pass: 0, bar, beat, beatPhase: 0, bpm: this.#firstBpm(), beatsPerBar: 4 };
    }
    let [frame, pass, bar, beat, beatPhase, bpm, beatsPerBar] = this.#time;
    const since = this.#state === 'playing' ? Math.min(kMaxReportAge, Math.max(0, this.#context.currentTime - this.#timeClock)) : 0;
    beatPhase += since * bpm / 60;
    while (beatPhase >= 1) {
      beatPhase -= 1;
      beat += 1;
      if (beat > beatsPerBar) {
        beat = 1;
        bar += 1;
      }
    }
    return { seconds: frame / rate + since, pass, bar, beat, beatPhase, bpm, beatsPerBar };
  }

  #firstBpm() {
    const beats = this.#music.beats;
    return beats.length > 1 ? 60 * kSongRate / (beats[1][0] - beats[0][0]) : 120;
  }

  // Goes on from the cue named `cue` at the next boundary `at` is ('now',
  // 'beat', 'bar' or 'loopEnd': where the song would go back to its loop
  // point, or end): from there it plays exactly as a seek to the cue would,
  // and a 'cue' event tells it. A later jump replaces one not yet taken.
  jump(cue, { at = 'now' } = {}) {
    const index = this.#music.cues.indexOf(cue);
    if (index < 0 || !this.#music.passed.some(([, passed]) => passed === index)) {
      throw new RangeError(`the song has no cue named ${JSON.stringify(cue)}` +
        (this.#music.cues.length ? ` (it has ${this.#music.cues.join(', ')})` : ''));
    }
    if (!(at in kJumpAt)) {
      throw new RangeError(`jump takes at: 'now', 'beat', 'bar' or 'loopEnd', found ${JSON.stringify(at)}`);
    }
    this.#post({ jump: { cue: index, at: kJumpAt[at] } });
  }

  // Plays another song (a sound effect or a jingle) once over the music, on
  // the `voices` listed: those voices of the music play on unheard while it
  // sounds and then come back in where they would be. Resolves when it has
  // played, with the audio clock's time at which its end is heard; rejects for bytes that are no song, or if the player closes
  // first. It plays as the music does: not while the player is held.
  playEffect(song, { voices = [0, 1, 2, 3, 4, 5] } = {}) {
    let bytes;
    try {
      bytes = asBytes(song).slice();
      this.#sqn.songMap(bytes);
    } catch (error) {
      return Promise.reject(error);
    }
    if (!Array.isArray(voices) || voices.length === 0 || !voices.every((voice) => wholeNumber(voice, 0, kVoices - 1))) {
      return Promise.reject(new RangeError(`voices takes a list of voices 0 … ${kVoices - 1} (as [0, 4]), found ${JSON.stringify(voices)}`));
    }
    const mask = voices.reduce((bits, voice) => bits | (1 << voice), 0);
    this.#effectsMade += 1;
    const effect = this.#effectsMade;
    return new Promise((resolve, reject) => {
      this.#effects.set(effect, { resolve, reject });
      this.#post({ effect: { song: bytes, voices: mask, effect } });
    });
  }

  setMuted(voice, muted) {
    if (!wholeNumber(voice, 0, kVoices - 1)) throw new RangeError(`voices are 0 … ${kVoices - 1}, found ${voice}`);
    this.#muted[voice] = Boolean(muted);
    this.#post({ muted: [...this.#muted] });
  }

  // Stops for good: the worklet lets the song go, the node is
  // disconnected and may be collected. Players may be made and closed
  // without end (a sound effect each): they share their context's one
  // instance of sqn-play.wasm.
  close() {
    this.#id += 1;
    this.#state = 'stopped';
    this.#post({ close: true });
    this.#node.port.onmessage = null;
    this.#node.disconnect();
    this.#waiting.forEach(({ reject }) => reject(new Error('the player was closed')));
    this.#waiting = [];
    this.#effects.forEach(({ reject }) => reject(new Error('the player was closed')));
    this.#effects.clear();
    if (this.#hidden) document.removeEventListener('visibilitychange', this.#hidden);
    this.#hidden = null;
  }

  #framesNow() {
    if (this.#state !== 'playing') return this.#frames;
    const since = Math.min(kMaxReportAge, Math.max(0, this.#context.currentTime - this.#clock));
    return this.#frames + since * this.#context.sampleRate;
  }

  // The song from frame `from`: where `reuse` (a seek), the worklet's
  // player taken there, its gain, fade and effects playing on; else opened
  // afresh (the effects sounding are over).
  #send(from, paused, reuse = false) {
    if (!reuse) {
      this.#effects.forEach(({ resolve }) => resolve(this.#context.currentTime));
      this.#effects.clear();
    }
    this.#id += 1;
    this.#frames = from;
    this.#clock = this.#context.currentTime;
    this.#time = null;
    const state = from > 0 || reuse ? this.#sqn.seekState(this.#song, this.#context.sampleRate, from, this.#loop) : null;
    this.#post({ muted: [...this.#muted] });
    this.#post({ song: this.#song, looping: this.#loop, from, state, paused, id: this.#id, reuse });
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

  // The events a quantum passed, each dispatched with the music where it
  // falls and the audio clock's time at which it is heard.
  #tellPassed(passed, times) {
    const rate = this.#context.sampleRate;
    for (let i = 0; i < times.length; i += 1) {
      const [frame, kind, value, bar, beat, beatPhase, bpm, beatsPerBar, pass] =
        passed.subarray(i * kEventNumbers, (i + 1) * kEventNumbers);
      if (kind === kEffectEnd) {
        this.#effects.get(value)?.resolve(times[i]);
        this.#effects.delete(value);
        continue;
      }
      const type = kEventNames[kind];
      if (!type) continue;
      const detail = { seconds: frame / rate, pass, bar, beat, beatPhase, bpm, beatsPerBar, audioTime: times[i] };
      if (type === 'cue') {
        detail.cue = this.#music.cues[value] ?? null;
        detail.index = value;
      }
      this.dispatchEvent(new CustomEvent(type, { detail }));
    }
  }

  #receive(message) {
    if (typeof message.effectFailed === 'number') {
      this.#effects.get(message.effectFailed)?.reject(new Error('the effect could not be played: failed to load .sqn file.'));
      this.#effects.delete(message.effectFailed);
    }
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
    if (message.music) {
      this.#time = message.music;
      this.#timeClock = this.#context.currentTime;
    }
    if (message.passed) this.#tellPassed(message.passed, message.times);
    if (message.ended) {
      this.#state = 'ended';
      const [frame, pass, bar, beat, beatPhase, bpm, beatsPerBar] = message.music;
      const detail = { seconds: frame / this.#context.sampleRate, pass, bar, beat, beatPhase, bpm, beatsPerBar,
        audioTime: message.audioTime };
      this.dispatchEvent(new CustomEvent('ended', { detail }));
    }
  }
}
