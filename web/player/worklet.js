// The audio worklet: plays a song at the context's rate, a render quantum at
// a time. Every player of a context shares one instance of sqn.wasm (they
// share this scope), so players may come and go by the thousand: each one's
// song and scratch are freed when it closes, and nothing else grows. It is
// sent, and takes in the order sent:
//   {module}                 the compiled sqn.wasm, once
//   {song: bytes, looping, from, state, paused, id, reuse}  this song from
//                            its beginning, or from frame `from` where
//                            `state` (web_seek_state's bytes, worked out on
//                            the main thread: nothing here seeks) says where
//                            it is then; held where `paused`; `id` comes
//                            back in reports; where `reuse`, the player open
//                            is taken there (its gain, fade and effects
//                            playing on) rather than opened afresh
//   {looping}                LoopEnd jumps back (true) or ends the song
//   {muted: [six booleans]}  the voices played on unheard, from now on
//   {gain}                   the mix's gain, from now on
//   {fade: {to, frames}}     the gain moved to `to` over `frames` frames
//   {jump: {cue, at}}        on from cue index `cue` at the next boundary
//                            `at` (0 now, 1 beat, 2 bar, 3 the loop's end)
//   {effect: {song, voices, effect}}  a song over the music on the voices
//                            of mask `voices`, told ended with `effect`
//   {song, …, round: {from, to, state}}  and frames `from` … `to` played
//                            round, `state` where the song is at `from`
//                            (the page's bars chosen to loop)
//   {paused}                 hold (silence, the song kept where it is) or go on
//   {stop: true}             silence
//   {close: true}            silence for good: the song is let go of and the
//                            node may be collected
// Each message but the module carries `sent`, its number. It sends back
// {id, taken, frames, time, paused, pass, position, events, memory, music}
// (`taken` the number of the last message taken, `time` the audio clock
// when `frames` were done, `memory` the shared instance's bytes, `music`
// web_player_time's seven numbers) about ten times a second and at once
// after a song or a pause arrives (without pass, position, events and music
// when no song is open); {id, passed: Float64Array, times: Float64Array,
// music} after a quantum that passed beats, bars, loops, cues or an
// effect's end (web_player_poll's nine numbers an event, and the audio
// clock at which each is heard); {id, ended: true} once a song that does
// not loop has played out the last 512-frame block sqn2wav writes;
// {id, effectFailed: effect} for an effect that is no song; and
// {id, failed: message} if a song cannot be opened. Nothing it does
// throws on the audio thread.
'use strict';

const kMaxQuantum = 4096;  // frames a quantum holds at most
const kBlockFrames = 512;  // sqn2wav's blocks: a song that ends plays out its last one
const kEventNumbers = 9;   // a polled event's doubles
const kPolled = 64;        // events taken from the player at a time
const kTimeNumbers = 7;    // web_player_time's

const kImports = {
  env: { emscripten_notify_memory_growth() {} },
  wasi_snapshot_preview1: { proc_exit(code) { throw new Error(`sqn.wasm stopped (${code})`); } },
};

// The scope's one instance, made from the first module sent.
let shared = null;

function sharedInstance(module) {
  if (!shared) {
    shared = WebAssembly.instantiate(module, kImports).then((instance) => {
      if (instance.exports._initialize) instance.exports._initialize();
      return instance.exports;
    });
    shared.catch(() => { shared = null; });
  }
  return shared;
}

class SqnPlayerProcessor extends AudioWorkletProcessor {
  constructor() {
    super();
    this.wasm = null;
    this.waiting = [];  // messages that came before the instance was ready, in order
    this.player = 0;
    this.left = 0;
    this.right = 0;
    this.id = 0;
    this.looping = true;
    this.paused = false;
    this.muted = null;
    this.gain = 1;
    this.frames = 0;
    this.endFrame = -1;  // the song's frame its last block ends at, once it has ended
    this.sinceStatus = 0;
    this.closed = false;
    this.taken = 0;  // the number of the last message taken
    this.views = null;  // rendered()'s
    this.scratch = 0;  // the instance's doubles for polled events and the time
    this.port.onmessage = (event) => this.arrive(event.data);
  }

  arrive(message) {
    if (message.module) {
      sharedInstance(message.module).then((wasm) => {
        if (this.wasm || this.closed) return;
        this.wasm = wasm;
        this.left = wasm.web_alloc(4 * kMaxQuantum);
        this.right = wasm.web_alloc(4 * kMaxQuantum);
        this.scratch = wasm.web_alloc(8 * kEventNumbers * kPolled);
        const waiting = this.waiting;
        this.waiting = [];
        for (const held of waiting) this.take(held);
      }).catch((error) => this.port.postMessage({ id: this.id, failed: String(error.message) }));
      return;
    }
    if (!this.wasm) {
      this.waiting.push(message);
      return;
    }
    this.take(message);
  }

  take(message) {
    if (typeof message.sent === 'number') this.taken = message.sent;
    try {
      if (message.song) {
        this.start(message);
        return;
      }
      if ('looping' in message) {
        this.looping = message.looping;
        if (this.player) this.wasm.web_player_set_looping(this.player, this.looping ? 1 : 0);
      }
      if (message.muted) {
        this.muted = message.muted;
        this.applyMuted();
      }
      if ('gain' in message) {
        this.gain = message.gain;
        if (this.player) this.wasm.web_player_set_gain(this.player, this.gain);
      }
      if (message.fade && this.player) {
        this.wasm.web_player_fade(this.player, message.fade.to, message.fade.frames);
        this.gain = message.fade.to;
      }
      if (message.jump && this.player) this.wasm.web_player_jump(this.player, message.jump.cue, message.jump.at);
      if (message.effect) this.playEffect(message.effect);
      if ('paused' in message) {
        this.paused = message.paused;
        this.report();
      }
      if (message.stop) this.closeSong();
      if (message.close) this.close();
    } catch (error) {
      this.closeSong();
      this.port.postMessage({ id: this.id, failed: String(error.message) });
    }
  }

  start({ song, looping, from = 0, state = null, paused = false, id = 0, reuse = false, round = null }) {
    this.id = id;
    this.forgetRound();
    this.looping = looping;
    this.paused = paused;
    this.endFrame = -1;
    if (!reuse || !this.player) {
      this.closeSong();
      const at = this.wasm.web_alloc(song.length);
      new Uint8Array(this.wasm.memory.buffer, at, song.length).set(song);
      this.player = this.wasm.web_player_open(at, song.length, sampleRate);
      this.wasm.web_free(at);
      if (!this.player) {
        this.port.postMessage({ id, failed: 'failed to load .sqn file.' });
        return;
      }
      this.wasm.web_player_set_gain(this.player, this.gain);
      this.applyMuted();
    }
    this.wasm.web_player_set_looping(this.player, looping ? 1 : 0);
    if (state) {
      const bytes = state instanceof Uint8Array ? state : new Uint8Array(state);
      const where = this.wasm.web_alloc(bytes.length);
      new Uint8Array(this.wasm.memory.buffer, where, bytes.length).set(bytes);
      const taken = this.wasm.web_player_set_state(this.player, where, bytes.length, from);
      this.wasm.web_free(where);
      if (!taken) throw new Error('the seek came from another sqn.wasm');
    }
    this.frames = state ? from : 0;
    if (round) {
      // Kept in the module's memory, taken again at each round.
      const bytes = new Uint8Array(round.state);
      const where = this.wasm.web_alloc(bytes.length);
      new Uint8Array(this.wasm.memory.buffer, where, bytes.length).set(bytes);
      this.round = { from: round.from, to: round.to, where, size: bytes.length, rounds: 0 };
    }
    this.report();
  }

  forgetRound() {
    if (this.round) this.wasm.web_free(this.round.where);
    this.round = null;
  }

  // Back to the start of the frames played round, where the state kept
  // says the song is then.
  startRound() {
    const { round } = this;
    this.wasm.web_player_set_state(this.player, round.where, round.size, round.from);
    this.frames = round.from;
    round.rounds += 1;
  }

  playEffect({ song, voices, effect }) {
    if (!this.player) {
      this.port.postMessage({ id: this.id, effectFailed: effect });
      return;
    }
    const at = this.wasm.web_alloc(song.length);
    new Uint8Array(this.wasm.memory.buffer, at, song.length).set(song);
    const played = this.wasm.web_player_effect(this.player, at, song.length, voices, effect);
    this.wasm.web_free(at);
    if (!played) this.port.postMessage({ id: this.id, effectFailed: effect });
  }

  // web_player_time's numbers.
  music() {
    this.wasm.web_player_time(this.player, this.scratch);
    return new Float64Array(this.wasm.memory.buffer, this.scratch, kTimeNumbers).slice();
  }

  // What the quantum that began at the player's frame `before` (heard at
  // the audio clock's `time`) passed, sent on.
  tellPassed(before, time) {
    let count = this.wasm.web_player_poll(this.player, this.scratch, kPolled);
    if (count === 0) return;
    const passed = [];
    while (count > 0) {
      passed.push(new Float64Array(this.wasm.memory.buffer, this.scratch, kEventNumbers * count).slice());
      count = count === kPolled ? this.wasm.web_player_poll(this.player, this.scratch, kPolled) : 0;
    }
    const all = new Float64Array(passed.reduce((sum, part) => sum + part.length, 0));
    passed.reduce((at, part) => { all.set(part, at); return at + part.length; }, 0);
    const times = new Float64Array(all.length / kEventNumbers);
    for (let i = 0; i < times.length; i += 1) times[i] = time + (all[i * kEventNumbers] - before) / sampleRate;
    this.port.postMessage({ id: this.id, passed: all, times, music: this.music() });
  }

  applyMuted() {
    if (!this.player || !this.muted) return;
    this.muted.forEach((off, voice) => this.wasm.web_player_set_muted(this.player, voice, off ? 1 : 0));
  }

  closeSong() {
    if (this.wasm) this.forgetRound();
    if (this.player) this.wasm.web_player_close(this.player);
    this.player = 0;
    this.endFrame = -1;
  }

  close() {
    this.closeSong();
    if (this.wasm) {
      this.wasm.web_free(this.left);
      this.wasm.web_free(this.right);
      this.wasm.web_free(this.scratch);
    }
    this.left = 0;
    this.right = 0;
    this.scratch = 0;
    this.views = null;
    this.closed = true;
    this.port.onmessage = null;
  }

  // Sent whether or not a song is open, since the page waits on it.
  report() {
    this.sinceStatus = 0;
    const status = { id: this.id, taken: this.taken, frames: this.frames, time: currentTime, paused: this.paused };
    if (this.round) status.rounds = this.round.rounds;
    if (this.wasm) status.memory = this.wasm.memory.buffer.byteLength;
    if (this.player) {
      status.pass = this.wasm.web_player_pass(this.player);
      status.position = this.wasm.web_player_position(this.player);
      status.events = this.wasm.web_player_events(this.player);
      status.music = this.music();
    }
    this.port.postMessage(status);
  }

  // The rendered left and right frames of a quantum, as views kept from
  // one quantum to the next (made again only when the instance's memory
  // has grown or the quantum's size changes), so that the audio thread
  // makes no garbage.
  rendered(frames) {
    const { buffer } = this.wasm.memory;
    if (!this.views || this.views.buffer !== buffer || this.views.frames !== frames) {
      this.views = { buffer, frames, left: new Float32Array(buffer, this.left, frames),
        right: new Float32Array(buffer, this.right, frames) };
    }
    return this.views;
  }

  process(inputs, outputs) {
    if (this.closed) return false;
    if (!this.player || this.paused) return true;
    const output = outputs[0];
    const frames = output[0].length;
    const before = this.wasm.web_player_song_frame(this.player);
    const clock = this.wasm.web_player_frame(this.player);
    try {
      // Frames played round: up to their end, then from their start again.
      const first = this.round ? Math.max(0, Math.min(frames, this.round.to - this.frames)) : frames;
      this.wasm.web_player_render(this.player, this.left, this.right, first);
      if (first < frames) {
        this.startRound();
        this.wasm.web_player_render(this.player, this.left + 4 * first, this.right + 4 * first, frames - first);
        this.frames -= first;  // counted below with the rest
      }
    } catch (error) {
      this.closeSong();
      this.port.postMessage({ id: this.id, failed: String(error.message) });
      return true;
    }
    // A song that has ended plays out the block it ended in, as sqn2wav
    // writes it, and then nothing.
    if (this.endFrame < 0 && !this.looping && this.wasm.web_player_finished(this.player)) {
      const ended = this.wasm.web_player_finished_at(this.player);
      this.endFrame = (Math.floor(ended / kBlockFrames) + 1) * kBlockFrames;
    }
    this.tellPassed(clock, currentTime);
    const heard = this.endFrame < 0 ? frames : Math.max(0, Math.min(frames, this.endFrame - before));
    const views = this.rendered(heard);
    output[0].set(views.left);
    if (output[1]) output[1].set(views.right);
    this.frames += heard;
    this.sinceStatus += frames;
    if (this.sinceStatus >= sampleRate / 10) this.report();
    if (this.endFrame >= 0 && before + frames >= this.endFrame) {
      const music = this.music();
      const audioTime = currentTime + heard / sampleRate;
      this.closeSong();
      this.port.postMessage({ id: this.id, frames: this.frames, time: currentTime, ended: true, music, audioTime });
    }
    return true;
  }
}

registerProcessor('sqn-player', SqnPlayerProcessor);
