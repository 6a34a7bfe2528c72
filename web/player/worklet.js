// The audio worklet: plays a song at the context's rate, a render quantum at
// a time. Every player of a context shares one instance of sqn.wasm (they
// share this scope), so players may come and go by the thousand: each one's
// song and scratch are freed when it closes, and nothing else grows. It is
// sent, and takes in the order sent:
//   {module}                 the compiled sqn.wasm, once
//   {song: bytes, looping, from, state, paused, id}  this song from its
//                            beginning, or from frame `from` where `state`
//                            (web_seek_state's bytes, worked out on the main
//                            thread: nothing here seeks) says where it is
//                            then; held where `paused`; `id` comes back in
//                            reports
//   {looping}                LoopEnd jumps back (true) or ends the song
//   {muted: [six booleans]}  the voices played on unheard, from now on
//   {paused}                 hold (silence, the song kept where it is) or go on
//   {stop: true}             silence
//   {close: true}            silence for good: the song is let go of and the
//                            node may be collected
// Each message but the module carries `sent`, its number. It sends back
// {id, taken, frames, time, paused, pass, position, events, memory} (`taken`
// the number of the last message taken, `time` the audio clock when
// `frames` were done, `memory` the shared instance's bytes) about ten times
// a second and at once after a song or a pause arrives (without pass,
// position and events when no song is open),
// {id, ended: true} once a song that does not loop has played out the last
// 512-frame block sqn2wav writes, and {id, failed: message} if a song
// cannot be opened. Nothing it does throws on the audio thread.
'use strict';

const kMaxQuantum = 4096;  // frames web_player_render takes at most
const kBlockFrames = 512;  // sqn2wav's blocks: a song that ends plays out its last one

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
    this.frames = 0;
    this.endFrame = -1;  // the song's frame its last block ends at, once it has ended
    this.sinceStatus = 0;
    this.closed = false;
    this.taken = 0;  // the number of the last message taken
    this.view = null;
    this.port.onmessage = (event) => this.arrive(event.data);
  }

  arrive(message) {
    if (message.module) {
      sharedInstance(message.module).then((wasm) => {
        if (this.wasm || this.closed) return;
        this.wasm = wasm;
        this.left = wasm.web_alloc(4 * kMaxQuantum);
        this.right = wasm.web_alloc(4 * kMaxQuantum);
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

  start({ song, looping, from = 0, state = null, paused = false, id = 0 }) {
    this.closeSong();
    this.id = id;
    this.looping = looping;
    this.paused = paused;
    const at = this.wasm.web_alloc(song.length);
    new Uint8Array(this.wasm.memory.buffer, at, song.length).set(song);
    this.player = this.wasm.web_player_open(at, song.length, sampleRate);
    this.wasm.web_free(at);
    if (!this.player) {
      this.port.postMessage({ id, failed: 'failed to load .sqn file.' });
      return;
    }
    this.wasm.web_player_set_looping(this.player, looping ? 1 : 0);
    this.applyMuted();
    if (state) {
      const bytes = state instanceof Uint8Array ? state : new Uint8Array(state);
      const where = this.wasm.web_alloc(bytes.length);
      new Uint8Array(this.wasm.memory.buffer, where, bytes.length).set(bytes);
      const taken = this.wasm.web_player_set_state(this.player, where, bytes.length);
      this.wasm.web_free(where);
      if (!taken) throw new Error('the seek came from another sqn.wasm');
    }
    this.frames = state ? from : 0;
    this.report();
  }

  applyMuted() {
    if (!this.player || !this.muted) return;
    this.muted.forEach((off, voice) => this.wasm.web_player_set_muted(this.player, voice, off ? 1 : 0));
  }

  closeSong() {
    if (this.player) this.wasm.web_player_close(this.player);
    this.player = 0;
    this.endFrame = -1;
  }

  close() {
    this.closeSong();
    if (this.wasm) {
      this.wasm.web_free(this.left);
      this.wasm.web_free(this.right);
    }
    this.left = 0;
    this.right = 0;
    this.closed = true;
    this.port.onmessage = null;
  }

  // Sent whether or not a song is open, since the page waits on it.
  report() {
    this.sinceStatus = 0;
    const status = { id: this.id, taken: this.taken, frames: this.frames, time: currentTime, paused: this.paused };
    if (this.wasm) status.memory = this.wasm.memory.buffer.byteLength;
    if (this.player) {
      status.pass = this.wasm.web_player_pass(this.player);
      status.position = this.wasm.web_player_position(this.player);
      status.events = this.wasm.web_player_events(this.player);
    }
    this.port.postMessage(status);
  }

  floats() {
    // The instance's memory may have grown since the last quantum.
    if (!this.view || this.view.buffer !== this.wasm.memory.buffer) {
      this.view = new Float32Array(this.wasm.memory.buffer);
    }
    return this.view;
  }

  process(inputs, outputs) {
    if (this.closed) return false;
    if (!this.player || this.paused) return true;
    const output = outputs[0];
    const frames = output[0].length;
    const before = this.wasm.web_player_frame(this.player);
    try {
      this.wasm.web_player_render(this.player, this.left, this.right, frames);
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
    const heard = this.endFrame < 0 ? frames : Math.max(0, Math.min(frames, this.endFrame - before));
    const memory = this.floats();
    output[0].set(memory.subarray(this.left / 4, this.left / 4 + heard));
    if (output[1]) output[1].set(memory.subarray(this.right / 4, this.right / 4 + heard));
    this.frames += heard;
    this.sinceStatus += frames;
    if (this.sinceStatus >= sampleRate / 10) this.report();
    if (this.endFrame >= 0 && before + frames >= this.endFrame) {
      this.closeSong();
      this.port.postMessage({ id: this.id, frames: this.frames, time: currentTime, ended: true });
    }
    return true;
  }
}

registerProcessor('sqn-player', SqnPlayerProcessor);
